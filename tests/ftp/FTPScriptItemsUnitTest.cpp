#include "PackageTestSupport.h"
#include "ftp/script/ZRFTPScriptAction.h"
#include "host/CryptoUtils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;
using namespace zr;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using json = nlohmann::ordered_json;

namespace {

const std::vector<const TMetaClass*> ItemClasses = {
    &TFTPScriptGetCurrentDir::ClassInfo(), &TFTPScriptChangeDir::ClassInfo(),
    &TFTPScriptChangeDirUp::ClassInfo(),   &TFTPScriptListDir::ClassInfo(),
    &TFTPScriptMakeDir::ClassInfo(),       &TFTPScriptDeleteDir::ClassInfo(),
    &TFTPScriptFileSize::ClassInfo(),      &TFTPScriptDeleteFile::ClassInfo(),
    &TFTPScriptRenameFile::ClassInfo(),    &TFTPScriptUploadFile::ClassInfo(),
    &TFTPScriptDownloadFile::ClassInfo()};

class FTPScriptItemClone : public ::testing::TestWithParam<const TMetaClass*> {};

TEST_P(FTPScriptItemClone, GivesTheSameKindWithEveryProperty) {
    auto item = std::dynamic_pointer_cast<TFTPScriptItem>(GetParam()->Create());
    ASSERT_TRUE(item);
    EXPECT_TRUE(item->FEnabled && !item->FIgnoreError) << "a new step runs and stops the script on failure";
    // Every property away from its initial value, so that one left behind shows.
    for (const auto& p : item->Properties().Properties()) {
        TPropertyValue value = p.Get(*item);
        if (auto* flag = std::get_if<bool>(&value))
            p.Set(*item, !*flag);
        else
            p.Set(*item, "value of " + p.Name);
    }
    auto copy = item->Clone();
    EXPECT_EQ(&copy->GetClass(), GetParam());
    for (const auto& p : item->Properties().Properties())
        EXPECT_EQ(p.Get(*copy), p.Get(*item)) << p.Name;
    item->FEnabled = true;
    EXPECT_FALSE(copy->FEnabled) << "the copy shares state with its original";
}

INSTANTIATE_TEST_SUITE_P(AllKinds, FTPScriptItemClone, ::testing::ValuesIn(ItemClasses),
                         [](const auto& info) { return info.param->ClassName(); });

// The stored forms load as they came (every encryption of a password differs); a password changed in the
// designer is saved encrypted only.
TEST(FTPScriptProject, PasswordsAreStoredEncryptedOnly) {
    EnsurePackageRegistered();
    json props = {{"Host", "127.0.0.1"},
                  {"EncryptedPassword", EncryptString("pw", TFTPAction::PasswordKey)},
                  {"UseProxy", true},
                  {"ProxyCookie", EncryptString("proxy-pw", TFTPAction::PasswordKey)}};
    json action = {{"type", "action.ftp.script"}, {"properties", props}};
    std::string text = json{{"actions", json::array({action})}}.dump(2) + "\n";
    TProject project = TProject::Parse(text, "script.json");
    EXPECT_EQ(project.ToJson(), text);
    auto& loaded = dynamic_cast<TFTPAction&>(*project.Actions.at(0));
    EXPECT_EQ(std::tuple(loaded.GetPassword(), loaded.GetProxyPassword()), std::tuple("pw", "proxy-pw"));
    loaded.SetPassword("clear-s3cret");
    loaded.SetProxyPassword("proxy-s3cret");
    EXPECT_THAT(project.ToJson(), Not(HasSubstr("s3cret")));
    TProject reloaded = TProject::Parse(project.ToJson(), "again.json");
    auto& again = dynamic_cast<TFTPAction&>(*reloaded.Actions.at(0));
    EXPECT_EQ(std::tuple(again.GetPassword(), again.GetProxyPassword()),
              std::tuple("clear-s3cret", "proxy-s3cret"));
}

TEST(FTPScriptValidate, NamesMissingHostAndSteps) {
    TFTPAction action;
    TValidationErrors errors;
    EXPECT_FALSE(action.Validate(errors));
    std::vector<std::string> texts;
    for (const auto& e : errors)
        texts.push_back(e.Property + ": " + e.Message);
    EXPECT_THAT(texts,
                ElementsAre("Host: Host has not been set", "FTP Script: No FTP actions have been specified"));
}

} // namespace
