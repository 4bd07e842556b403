#include "../host/CaseFiles.h"
#include "PackageTestSupport.h"
#include "host/Action.h"
#include "host/Scripting.h"
#include "host/UserFile.h"
#include "mail/ZREmail.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;
using namespace zr;

namespace {

std::string Field(const TCase& row, std::size_t index) {
    const std::string& value = row.Fields.at(index);
    return value == "-" ? std::string() : value;
}

std::string Join(const std::vector<TEmailAddressPtr>& entries, bool withNames) {
    std::string out;
    for (const auto& e : entries)
        out += (out.empty() ? "" : "|") + e->GetAddress() + (withNames ? "/" + e->GetName() : "");
    return out.empty() ? "-" : out;
}

// A file holding content, in a folder of its own that goes with it.
struct TTempFile : TTempDir {
    explicit TTempFile(const std::string& content) : TTempDir("quillate-mail") {
        WriteTextFile(Path(), content);
    }
    std::filesystem::path Path() const { return TTempDir::Path() / "file"; }
};

TEST(EmailAddress, TypedTextGivesMailboxNameAndTextForm) {
    for (const TCase& row : ReadTable("addresses.txt")) {
        TZREmailAddress address;
        address.SetName("earlier");
        address.SetText(row.Fields.at(0));
        EXPECT_EQ(address.GetAddress(), Field(row, 1)) << row.Where;
        EXPECT_EQ(address.GetName(), Field(row, 2)) << row.Where;
        EXPECT_EQ(address.GetText(), Field(row, 3)) << row.Where;
        EXPECT_EQ(address.GetText().find_first_of(std::string("\r\n\0", 3)), std::string::npos) << row.Where;
    }
}

TEST(AddressList, DelimitedTextsAndFilesAddTheirEntriesInOrder) {
    for (const TCase& row : ReadTable("lists.txt")) {
        TZRAddressList list("recipients");
        list.Add("Kept", "kept@x", false);
        if (row.Fields.at(0) == "delimited") {
            ExpectOutcome<EAddressListError>(row, 3, [&] {
                list.AddDelimitedList(row.Fields.at(2), row.Fields.at(1));
                EXPECT_TRUE(std::all_of(list.Entries().begin() + 1, list.Entries().end(), [](const auto& e) {
                    return e->GetEnabled() && e->GetName().empty();
                })) << row.Where;
                return Join({list.Entries().begin() + 1, list.Entries().end()}, false);
            });
        } else {
            TTempFile file(row.Fields.at(1));
            ExpectOutcome<EAddressListError>(row, 2, [&] {
                EXPECT_TRUE(list.AddFromFile(file.Path())) << row.Where;
                return Join({list.Entries().begin() + 1, list.Entries().end()}, true);
            });
        }
        EXPECT_EQ(list.Item(0)->GetAddress(), "kept@x") << row.Where << ": entries already there stay first";
    }
}

TEST(AddressList, AddressFilesAreBoundedAndAMissingOneAddsNothing) {
    TZRAddressList list;
    TTempFile huge(std::string(TZRAddressList::MaxFileBytes + 1, 'a'));
    EXPECT_FALSE(list.AddFromFile(huge.Path().parent_path() / "none"));
    EXPECT_THROW(list.AddFromFile(huge.Path().parent_path()), EUserFileError);
    EXPECT_THROW(list.AddFromFile(huge.Path()), EUserFileError);
    EXPECT_EQ(list.GetCount(), 0u);
    std::string lines;
    for (std::size_t i = 0; i <= TZRAddressList::MaxEntries; ++i)
        lines += "a@b\n";
    EXPECT_THROW(list.AddLines(lines), EAddressListError);
    EXPECT_EQ(list.GetCount(), TZRAddressList::MaxEntries);
}

// The e-mail action owns every address slot; streaming them is shown through a real project load and save.
TEST(AddressList, ProjectChildrenFillTheirSlotsAndSaveUnchanged) {
    EnsurePackageRegistered();
    const std::string text = ReadFile("project.json");
    TProject project = TProject::Parse(text, "project.json");
    EXPECT_EQ(project.ToJson(), text);
    // A list stored as "mail.list" loads too, and is saved as "email.list".
    std::string both = text;
    both.replace(both.find("\"email.list\""), 12, "\"mail.list\"");
    EXPECT_EQ(TProject::Parse(both, "both.json").ToJson(), text);
    auto& slots = dynamic_cast<TEmailAction&>(*project.Actions.at(0)).Addresses();
    EXPECT_EQ(slots.From->GetText(), "Ann <ann@x.org>");
    EXPECT_EQ(slots.Sender->GetAddress(), "sender@x.org");
    EXPECT_EQ(slots.ReceiptRecipient->GetAddress(), "receipt@x.org");
    EXPECT_EQ(Join(slots.Recipients->Entries(), true), "r1@x.org/R One|r2@x.org/|r1@x.org/");
    EXPECT_FALSE(slots.Recipients->Item(1)->GetEnabled());
    EXPECT_EQ(Join(slots.CopyTo->Entries(), false), "cc@x.org");
    EXPECT_EQ(Join(slots.BlindCopyTo->Entries(), false), "bcc@x.org");
    EXPECT_EQ(Join(slots.ReplyTo->Entries(), false), "reply@x.org");
    // A read-only count and an unknown role tag are refused or ignored, never stored.
    const std::string inList = R"({"actions":[{"type":"action.smtp.send","children":[{"type":"email.list",)";
    EXPECT_THROW(TProject::Parse(inList + R"("properties":{"Count":3}}]}]})", "p"), std::exception);
    TProject other = TProject::Parse(
        inList + R"("properties":{"ListType":"bcc"},"children":[{"type":"email.address"}]}]}]})", "p");
    auto& fresh = dynamic_cast<TEmailAction&>(*other.Actions.at(0)).Addresses();
    for (const auto& list : {fresh.Recipients, fresh.CopyTo, fresh.BlindCopyTo, fresh.ReplyTo})
        EXPECT_EQ(list->GetCount(), 0u) << list->GetListType();
}

// Scripts reach the lists as the action's own objects: what they leave is what the send uses.
TEST(AddressList, ScriptMethodsDoAsTheTableSays) {
    EnsurePackageRegistered();
    TTempFile file("file@x,From File\n");
    auto action = std::make_shared<TEmailAction>();
    TScriptParams params;
    params.Set("Action", TScriptValue::Object(*action));
    params.Set("FileName", file.Path().string());
    params.Declare("Result");
    for (const TCase& row : ReadTable("list-scripts.txt"))
        ExpectOutcome<EScriptError>(row, 1, [&] {
            CoreScriptingService().ExecuteScript("T", "local List = Action.Recipients " + row.Fields.at(0),
                                                 params);
            return params.Get("Result").AsString();
        });
    EXPECT_EQ(action->Addresses().From->GetName(), "Fay");
    EXPECT_EQ(Join(action->Addresses().ReplyTo->Entries(), false), "re@x");

    // A list a script hands back is shared, so it outlives the action.
    CoreScriptingService().ExecuteScript("T", "Result = Action.CopyTo", params);
    std::weak_ptr<TPersistent> kept = params.Get("Result").AsObjectPtr();
    params.Set("Action", {});
    action.reset();
    EXPECT_FALSE(kept.expired());
}

} // namespace
