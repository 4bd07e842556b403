// E-mail addresses and address lists: the child objects an e-mail action stores its From, Sender,
// receipt recipient and four recipient lists in, with the parsing of typed addresses.
#pragma once

#include "host/Serialization.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zr {

// A list operation given bad arguments (a delimiter of more than one character, a full list).
class EAddressListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One mailbox with its display name. Every setter drops control characters (CR, LF, NUL and the
// rest of C0, and DEL), so no address text can ever break a header line or a command.
class TZRCustomEmailAddress : public quillate::TSerializableObject {
public:
    TZRCustomEmailAddress() = default;
    // An address that fills one role of an action: "from", "sender" or "ReceiptRecipient".
    explicit TZRCustomEmailAddress(std::string_view addressType);

    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    std::string GetAddress() const { return FAddress; }
    void SetAddress(const std::string& value);
    std::string GetName() const { return FName; }
    void SetName(const std::string& value);
    bool GetEnabled() const { return FEnabled; }
    void SetEnabled(bool value) { FEnabled = value; }
    std::string GetAddressType() const { return FAddressType; }
    void SetAddressType(const std::string& value);

    // "Name <mailbox>", or the bare mailbox when there is no name or the name is the mailbox in
    // capitals.
    std::string GetText() const;
    // Reads "Name <mailbox>", "mailbox (Name)" or a bare mailbox; quotes around the name are dropped.
    void SetText(std::string_view value);

private:
    std::string FAddressType;
    std::string FAddress;
    std::string FName;
    bool FEnabled = true;
};

class TZREmailAddress : public TZRCustomEmailAddress {
public:
    using TZRCustomEmailAddress::TZRCustomEmailAddress;
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
};

using TEmailAddressPtr = std::shared_ptr<TZREmailAddress>;

// An ordered list of addresses; duplicates are kept and the order is the order of sending.
class TZRCustomAddressList : public quillate::TSerializableObject {
public:
    // Bounds for what a project, a variable, a script or an address file can put in one list.
    static constexpr std::size_t MaxEntries = 100'000;
    static constexpr std::size_t MaxFileBytes = std::size_t{4} << 20;

    TZRCustomAddressList() = default;
    // A list that fills one role of an action: "recipients", "copyto", "blindcopyto" or "replyto".
    explicit TZRCustomAddressList(std::string_view listType);

    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    std::string GetListType() const { return FListType; }
    void SetListType(const std::string& value);

    TEmailAddressPtr Add(const std::string& name, const std::string& address, bool enabled);
    // Each non-empty piece of text between delimiters becomes an enabled address; a double-quoted
    // part of a piece may hold the delimiter.
    void AddDelimitedList(std::string_view text, std::string_view delimiter);
    // One address a line, "mailbox" or "mailbox,Name"; false when the file does not exist. A file
    // that cannot be read or is too large throws quillate::EUserFileError.
    bool AddFromFile(const std::filesystem::path& fileName);
    // The lines of an address file's content, as AddFromFile reads them.
    void AddLines(std::string_view content);
    // Nullptr when index is out of range.
    TEmailAddressPtr Item(std::ptrdiff_t index) const;
    // Removes the first entry whose mailbox is exactly address.
    void Remove(std::string_view address);
    void RemoveItem(std::ptrdiff_t index);
    void Clear() { FEntries.clear(); }
    std::size_t GetCount() const { return FEntries.size(); }
    const std::vector<TEmailAddressPtr>& Entries() const { return FEntries; }

    void GetChildren(quillate::TSerializableList& children) const override;
    void AddChildObject(std::shared_ptr<quillate::TSerializableObject> child) override;

private:
    void Append(TEmailAddressPtr address);

    std::string FListType;
    std::vector<TEmailAddressPtr> FEntries;
};

class TZRAddressList : public TZRCustomAddressList {
public:
    using TZRCustomAddressList::TZRCustomAddressList;
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
};

using TAddressListPtr = std::shared_ptr<TZRAddressList>;

// The three single addresses and four lists of one message, as an e-mail action keeps and stores
// them: children are placed by their role tag and written in a fixed order.
class TZRMessageAddresses {
public:
    TZRMessageAddresses();

    // Puts an address or list read from a project into the slot its role tag names; anything else
    // is ignored.
    void AddChildObject(const std::shared_ptr<quillate::TSerializableObject>& child);
    // From, Sender, ReplyTo, ReceiptRecipient, Recipients, CopyTo, BlindCopyTo.
    void GetChildren(quillate::TSerializableList& children) const;

    TEmailAddressPtr From, Sender, ReceiptRecipient;
    TAddressListPtr Recipients, CopyTo, BlindCopyTo, ReplyTo;
};

// The address list's script methods.
void RegisterAddressListScriptMethods();

} // namespace zr
