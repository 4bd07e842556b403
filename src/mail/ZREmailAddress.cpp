#include "mail/ZREmailAddress.h"
#include "mail/ZRMailCommon.h"

#include "host/Scripting.h"
#include "host/UserFile.h"

#include <algorithm>
#include <cctype>

namespace zr {

using namespace quillate;

namespace {

bool IsControl(char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

std::string WithoutControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::copy_if(text.begin(), text.end(), std::back_inserter(out), [](char c) { return !IsControl(c); });
    return out;
}


std::string_view StripQuotes(std::string_view name) {
    while (name.size() >= 2 && (name.front() == '"' || name.front() == '\'') && name.back() == name.front())
        name = name.substr(1, name.size() - 2);
    return name;
}

std::string UpperAscii(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The pieces of text between delimiters outside double quotes, trimmed; a piece that is one quoted
// string loses its quotes and its doubled quotes stand for one.
std::vector<std::string> SplitDelimited(std::string_view text, char delimiter) {
    std::vector<std::string> pieces;
    auto finish = [&](std::string_view raw) {
        std::string_view piece = TrimBlanks(raw);
        if (piece.size() >= 2 && piece.front() == '"' && piece.back() == '"') {
            std::string unquoted;
            for (std::size_t i = 1; i + 1 < piece.size(); ++i) {
                unquoted += piece[i];
                if (piece[i] == '"' && piece[i + 1] == '"' && i + 2 < piece.size())
                    ++i;
            }
            pieces.push_back(std::move(unquoted));
        } else {
            pieces.emplace_back(piece);
        }
    };
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"' && delimiter != '"')
            quoted = !quoted;
        else if (text[i] == delimiter && !quoted) {
            finish(text.substr(start, i - start));
            start = i + 1;
        }
    }
    finish(text.substr(start));
    return pieces;
}

} // namespace

TZRCustomEmailAddress::TZRCustomEmailAddress(std::string_view addressType)
    : FAddressType(WithoutControls(addressType)) {}

void TZRCustomEmailAddress::SetAddress(const std::string& value) {
    FAddress = WithoutControls(value);
}
void TZRCustomEmailAddress::SetName(const std::string& value) {
    FName = WithoutControls(value);
}
void TZRCustomEmailAddress::SetAddressType(const std::string& value) {
    FAddressType = WithoutControls(value);
}

std::string TZRCustomEmailAddress::GetText() const {
    if (!FName.empty() && FName != UpperAscii(FAddress))
        return FName + " <" + FAddress + ">";
    return FAddress;
}

void TZRCustomEmailAddress::SetText(std::string_view value) {
    const std::string text = WithoutControls(value);
    std::string_view all = text;
    std::string_view address, name;
    auto split = [&](char open, bool nameFirst) {
        std::size_t at = all.find(open);
        if (at == std::string_view::npos)
            return;
        std::string_view inside = TrimBlanks(all.substr(at + 1, all.size() - at - 2));
        std::string_view outside = TrimBlanks(all.substr(0, at));
        address = nameFirst ? inside : outside;
        name = nameFirst ? outside : inside;
    };
    if (!all.empty() && all.back() == '>')
        split('<', true);
    else if (!all.empty() && all.back() == ')')
        split('(', false);
    else
        address = all;
    FAddress = std::string(address);
    FName = std::string(StripQuotes(name));
}

struct TZREmailAddressProperties {
    using T = TZRCustomEmailAddress;
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<T>(table)
            .String("Name", &T::GetName, &T::SetName)
            .String("Address", &T::GetAddress, &T::SetAddress)
            .String("AddressType", &T::GetAddressType, &T::SetAddressType)
            .Hidden()
            .Help("The role of a single address in its action: from, sender or ReceiptRecipient")
            .Bool("Enabled", &T::GetEnabled, &T::SetEnabled)
            .Help("A disabled entry of a list is left out of the message");
    }
};

const TMetaClass& TZRCustomEmailAddress::ClassInfo() {
    static const TMetaClass meta =
        TMetaClass::Of<TZRCustomEmailAddress>("TZRCustomEmailAddress", "", &TSerializableObject::ClassInfo());
    return meta;
}

const TMetaClass& TZREmailAddress::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TZREmailAddress>("TZREmailAddress", "email.address",
                                                                   &TZRCustomEmailAddress::ClassInfo(),
                                                                   &TZREmailAddressProperties::Define);
    return meta;
}

TZRCustomAddressList::TZRCustomAddressList(std::string_view listType)
    : FListType(WithoutControls(listType)) {}

void TZRCustomAddressList::SetListType(const std::string& value) {
    FListType = WithoutControls(value);
}

void TZRCustomAddressList::Append(TEmailAddressPtr address) {
    if (FEntries.size() >= MaxEntries)
        throw EAddressListError("An address list holds at most " + std::to_string(MaxEntries) + " addresses");
    FEntries.push_back(std::move(address));
}

TEmailAddressPtr TZRCustomAddressList::Add(const std::string& name, const std::string& address,
                                           bool enabled) {
    auto entry = std::make_shared<TZREmailAddress>();
    entry->SetAddress(address);
    entry->SetName(name);
    entry->SetEnabled(enabled);
    Append(entry);
    return entry;
}

void TZRCustomAddressList::AddDelimitedList(std::string_view text, std::string_view delimiter) {
    std::string_view trimmed = TrimBlanks(delimiter);
    if (trimmed.size() != 1)
        throw EAddressListError("Delimiter must be a single character: <" + WithoutControls(trimmed) + ">");
    // A quoted piece may hold nothing but control characters, which the address would drop.
    for (const std::string& piece : SplitDelimited(text, trimmed.front()))
        if (std::string mailbox = WithoutControls(piece); !mailbox.empty())
            Add("", mailbox, true);
}

bool TZRCustomAddressList::AddFromFile(const std::filesystem::path& fileName) {
    std::string content;
    try {
        content = TUserFile::Read(fileName, MaxFileBytes);
    } catch (const EUserFileError& e) {
        if (e.Missing())
            return false;
        throw EUserFileError(fileName.string() + ": " + e.what(), false);
    }
    AddLines(content);
    return true;
}

void TZRCustomAddressList::AddLines(std::string_view content) {
    std::string_view rest = content;
    while (!rest.empty()) {
        std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        if (TrimBlanks(line).empty())
            continue;
        auto entry = std::make_shared<TZREmailAddress>();
        std::size_t comma = line.find(',');
        entry->SetAddress(std::string(line.substr(0, comma)));
        if (comma != std::string_view::npos)
            entry->SetName(std::string(line.substr(comma + 1)));
        Append(std::move(entry));
    }
}

TEmailAddressPtr TZRCustomAddressList::Item(std::ptrdiff_t index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= FEntries.size())
        return nullptr;
    return FEntries[static_cast<std::size_t>(index)];
}

void TZRCustomAddressList::Remove(std::string_view address) {
    auto it = std::find_if(FEntries.begin(), FEntries.end(),
                           [&](const auto& e) { return e->GetAddress() == address; });
    if (it != FEntries.end())
        FEntries.erase(it);
}

void TZRCustomAddressList::RemoveItem(std::ptrdiff_t index) {
    if (index >= 0 && static_cast<std::size_t>(index) < FEntries.size())
        FEntries.erase(FEntries.begin() + index);
}

void TZRCustomAddressList::GetChildren(TSerializableList& children) const {
    children.insert(children.end(), FEntries.begin(), FEntries.end());
}

void TZRCustomAddressList::AddChildObject(std::shared_ptr<TSerializableObject> child) {
    if (auto address = std::dynamic_pointer_cast<TZREmailAddress>(child))
        Append(std::move(address));
}

struct TZRAddressListProperties {
    using T = TZRCustomAddressList;
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<T>(table)
            .String("ListType", &T::GetListType, &T::SetListType)
            .Hidden()
            .Help("The role of the list in its action: recipients, copyto, blindcopyto or replyto");
        TPropertyInfo count;
        count.Name = "Count";
        count.Kind = TPropertyKind::Int32;
        count.Help = "Number of addresses in the list";
        count.Stored = false;
        count.Hidden = true;
        count.Get = [](const TPersistent& o) -> TPropertyValue {
            return static_cast<std::int64_t>(static_cast<const T&>(o).GetCount());
        };
        count.Set = [](TPersistent&, const TPropertyValue&) {
            throw std::invalid_argument("the property is read-only");
        };
        table.Add(std::move(count));
    }
};

const TMetaClass& TZRCustomAddressList::ClassInfo() {
    static const TMetaClass meta =
        TMetaClass::Of<TZRCustomAddressList>("TZRCustomAddressList", "", &TSerializableObject::ClassInfo());
    return meta;
}

// Written as "email.list", the name every project saved so far carries and the only one earlier
// versions read; projects that name the list "mail.list" are read as well.
const TMetaClass& TZRAddressList::ClassInfo() {
    static const TMetaClass meta =
        TMetaClass::Of<TZRAddressList>("TZRAddressList", "email.list", &TZRCustomAddressList::ClassInfo(),
                                       &TZRAddressListProperties::Define, {"mail.list"});
    return meta;
}

TZRMessageAddresses::TZRMessageAddresses()
    : From(std::make_shared<TZREmailAddress>("from")), Sender(std::make_shared<TZREmailAddress>("sender")),
      ReceiptRecipient(std::make_shared<TZREmailAddress>("ReceiptRecipient")),
      Recipients(std::make_shared<TZRAddressList>("recipients")),
      CopyTo(std::make_shared<TZRAddressList>("copyto")),
      BlindCopyTo(std::make_shared<TZRAddressList>("blindcopyto")),
      ReplyTo(std::make_shared<TZRAddressList>("replyto")) {}

void TZRMessageAddresses::AddChildObject(const std::shared_ptr<TSerializableObject>& child) {
    if (auto address = std::dynamic_pointer_cast<TZREmailAddress>(child)) {
        for (TEmailAddressPtr* slot : {&From, &Sender, &ReceiptRecipient})
            if ((*slot)->GetAddressType() == address->GetAddressType()) {
                *slot = std::move(address);
                return;
            }
    } else if (auto list = std::dynamic_pointer_cast<TZRAddressList>(child)) {
        for (TAddressListPtr* slot : {&ReplyTo, &Recipients, &CopyTo, &BlindCopyTo})
            if ((*slot)->GetListType() == list->GetListType()) {
                *slot = std::move(list);
                return;
            }
    }
}

void TZRMessageAddresses::GetChildren(TSerializableList& children) const {
    children.insert(children.end(),
                    {From, Sender, ReplyTo, ReceiptRecipient, Recipients, CopyTo, BlindCopyTo});
}

namespace {

const TScriptValue& Argument(const std::vector<TScriptValue>& args, std::size_t index, const char* method) {
    if (index >= args.size())
        throw std::invalid_argument(std::string(method) + " takes " + std::to_string(index + 1) +
                                    " argument(s)");
    return args[index];
}

TScriptValue ObjectOrNil(TEmailAddressPtr address) {
    return address ? TScriptValue::Object(std::static_pointer_cast<TPersistent>(std::move(address)))
                   : TScriptValue();
}

TZRCustomAddressList& ListOf(TPersistent& self) {
    return dynamic_cast<TZRCustomAddressList&>(self);
}

} // namespace

void RegisterAddressListScriptMethods() {
    auto& scripting = CoreScriptingService();
    const TMetaClass& cls = TZRCustomAddressList::ClassInfo();
    scripting.RegisterScriptMethodAs(cls, "AddFromScript", "Add", [](TPersistent& self, const auto& args) {
        if (args.size() != 2 && args.size() != 3)
            return TScriptValue();
        bool enabled = args.size() == 3 ? args[2].AsBoolean() : true;
        return ObjectOrNil(ListOf(self).Add(args[0].AsString(), args[1].AsString(), enabled));
    });
    scripting.RegisterScriptMethod(cls, "Item", "", [](TPersistent& self, const auto& args) {
        return ObjectOrNil(ListOf(self).Item(Argument(args, 0, "Item").AsInteger()));
    });
    scripting.RegisterScriptMethod(cls, "Clear", "", [](TPersistent& self, const auto&) {
        ListOf(self).Clear();
        return TScriptValue();
    });
    scripting.RegisterScriptMethod(cls, "RemoveItem", "", [](TPersistent& self, const auto& args) {
        ListOf(self).RemoveItem(Argument(args, 0, "RemoveItem").AsInteger());
        return TScriptValue();
    });
    scripting.RegisterScriptMethod(cls, "AddDelimitedList", "", [](TPersistent& self, const auto& args) {
        ListOf(self).AddDelimitedList(Argument(args, 0, "AddDelimitedList").AsString(),
                                      Argument(args, 1, "AddDelimitedList").AsString());
        return TScriptValue();
    });
    scripting.RegisterScriptMethod(cls, "AddFromFile", "", [](TPersistent& self, const auto& args) {
        return TScriptValue(ListOf(self).AddFromFile(Argument(args, 0, "AddFromFile").AsString()));
    });
    scripting.RegisterScriptMethod(cls, "Remove", "", [](TPersistent& self, const auto& args) {
        ListOf(self).Remove(Argument(args, 0, "Remove").AsString());
        return TScriptValue();
    });
}

} // namespace zr
