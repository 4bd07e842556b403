// The global FTP and e-mail options: one store section "Internet" that both classes share.
#include "ftp/ZRFTPOptions.h"
#include "host/CryptoUtils.h"
#include "mail/ZREmailOptions.h"
#include "package/ZRInternetReg.h"
#include "support/ServerProcess.h"

#include <gtest/gtest.h>
#include <tuple>

namespace zr {
namespace {

using nlohmann::ordered_json;
using quillate::OptionsService;
using quillate::testing::ReadTextFile;

class InternetOptionsTest : public ::testing::Test {
protected:
    void SetUp() override { Restart(); }
    void TearDown() override { OptionsService().Reset(); }
    // A new run of the host on the same store file.
    void Restart(bool withEmail = true) {
        OptionsService().Reset(FStore);
        if (withEmail)
            zr::RegisterProtocolOptions(zr::EmailProtocol());
        zr::RegisterProtocolOptions(zr::FTPProtocol());
    }
    void Write(const std::string& text) const { quillate::testing::WriteTextFile(FStore, text); }
    ordered_json Section() const { return ordered_json::parse(ReadTextFile(FStore))["Internet"]; }

    quillate::testing::TTempDir FFolder{"zr-internet-options"};
    std::filesystem::path FStore = FFolder.Path() / "options.json";
};

TEST_F(InternetOptionsTest, MissingKeysLoadTheDefaultsAndEveryKeyLoads) {
    // Another program's section and a partly filled one: every missing key takes its default.
    Write(R"({"Internet": {"SMTPHost": "mx.example.org"}, "Host": {"FTPPort": 99}})");
    auto ftp = FTPOptions();
    EXPECT_EQ(std::tuple(ftp->GetFTPServer(), ftp->GetFTPUser(), ftp->GetFTPPassword(), ftp->GetFTPPort(),
                         ftp->GetSecurity(), ftp->GetSecureData(), ftp->GetProtocol()),
              std::tuple("", "", "", 21, zr::net::TFTPSecurity::fsNone, true, TFTPProtocol::cpFTP));
    auto mail = EmailOptions();
    EXPECT_EQ(std::tuple(mail->GetSMTPHost(), mail->GetSMTPPort(), mail->GetSMTPAuth(), mail->GetSMTPEHLO(),
                         mail->GetSMTPUser(), mail->GetSMTPPass(), mail->GetSMTPSSL(), mail->GetSMTPUseTLS(),
                         mail->GetDefaultEncoding()),
              std::tuple("mx.example.org", 25, false, false, "", "", false, utNoTLSSupport, ""));

    Write(R"({"Internet": {"SMTPHost": "mx.example.org", "SMTPPort": 587, "SMTPAuth": true, "SMTPEHLO": true,
              "SMTPUser": "ann", "SMTPSSL": true, "SMTPUseTLS": 2, "DefaultEncoding": "utf-8"}})");
    Restart();
    mail = EmailOptions();
    EXPECT_EQ(std::tuple(mail->GetSMTPHost(), mail->GetSMTPPort(), mail->GetSMTPAuth(), mail->GetSMTPEHLO(),
                         mail->GetSMTPUser(), mail->GetSMTPSSL(), mail->GetSMTPUseTLS(),
                         mail->GetDefaultEncoding()),
              std::tuple("mx.example.org", 587, true, true, "ann", true, utUseRequireTLS, "utf-8"));
    EXPECT_FALSE(mail->GetModified());

    // A TLS setting or protocol this version does not know never sends the password in clear.
    Write(R"({"Internet": {"FTPSecurity": "fsSomethingNewer", "FTPProtocol": "cpSomethingNewer"}})");
    Restart();
    EXPECT_EQ(std::tuple(FTPOptions()->GetSecurity(), FTPOptions()->GetProtocol()),
              std::tuple(zr::net::TFTPSecurity::fsExplicit, TFTPProtocol::cpSFTP));
}

// Each setter marks the object modified only on a real change (what the option pages rely on).
TEST_F(InternetOptionsTest, SettersMarkOnlyRealChanges) {
    for (const quillate::TMetaClass* cls : {&TZRFTPOptions::ClassInfo(), &TZREmailOptions::ClassInfo()}) {
        auto object = std::dynamic_pointer_cast<quillate::TZROptionsObject>(cls->Create());
        for (const auto& p : cls->Properties().Properties()) {
            SCOPED_TRACE(p.Name);
            quillate::TPropertyValue value = p.Get(*object);
            p.Set(*object, value);
            EXPECT_FALSE(object->GetModified());
            if (auto* text = std::get_if<std::string>(&value))
                *text += "x";
            else if (auto* flag = std::get_if<bool>(&value))
                *flag = !*flag;
            else
                std::get<std::int64_t>(value) += 1;
            p.Set(*object, value);
            EXPECT_TRUE(object->GetModified());
            object->SetModified(false);
        }
    }
}

TEST_F(InternetOptionsTest, SavingEitherObjectWritesBothSetsOfKeys) {
    auto mail = EmailOptions();
    mail->SetSMTPHost("mx.example.org");
    mail->SetSMTPAuth(true);
    mail->SetSMTPUseTLS(utUseExplicitTLS);
    OptionsService().SaveAll();

    // Only the FTP object changes in the next run; the e-mail values must survive its save.
    Restart();
    FTPOptions()->SetFTPServer("ftp.example.org");
    FTPOptions()->SetFTPPort(2121);
    FTPOptions()->SetSecurity(zr::net::TFTPSecurity::fsImplicit);
    FTPOptions()->SetProtocol(TFTPProtocol::cpSFTP);
    OptionsService().SaveAll();
    // Each class writes its own keys, in the order the classes were registered.
    EXPECT_EQ(Section().dump(),
              R"({"SMTPPort":25,"SMTPAuth":true,"SMTPEHLO":false,"SMTPPass":"","SMTPUser":"",)"
              R"("SMTPHost":"mx.example.org","SMTPSSL":false,"SMTPUseTLS":3,"DefaultEncoding":"",)"
              R"("FTPPort":2121,"FTPPassword":"","FTPServer":"ftp.example.org","FTPUser":"",)"
              R"("FTPSecurity":"fsImplicit","FTPSecureData":true,"FTPProtocol":"cpSFTP"})");

    // And the other way round: an e-mail save keeps the FTP values.
    Restart();
    EmailOptions()->SetSMTPPort(2525);
    OptionsService().SaveAll();
    Restart();
    EXPECT_EQ(
        std::tuple(FTPOptions()->GetFTPServer(), FTPOptions()->GetFTPPort(), FTPOptions()->GetSecurity(),
                   FTPOptions()->GetProtocol()),
        std::tuple("ftp.example.org", 2121, zr::net::TFTPSecurity::fsImplicit, TFTPProtocol::cpSFTP));
    mail = EmailOptions();
    EXPECT_EQ(
        std::tuple(mail->GetSMTPHost(), mail->GetSMTPPort(), mail->GetSMTPAuth(), mail->GetSMTPUseTLS()),
        std::tuple("mx.example.org", 2525, true, utUseExplicitTLS));
}

TEST_F(InternetOptionsTest, SavingWithoutTheOtherClassLeavesItsKeysAlone) {
    Write(R"({"Internet": {"SMTPHost": "mx.example.org"}})");
    Restart(/*withEmail=*/false);
    FTPOptions()->SetFTPServer("ftp.example.org");
    OptionsService().SaveAll();
    EXPECT_EQ(Section().dump(), R"({"SMTPHost":"mx.example.org","FTPPort":21,"FTPPassword":"",)"
                                R"("FTPServer":"ftp.example.org","FTPUser":"","FTPSecurity":"fsNone",)"
                                R"("FTPSecureData":true,"FTPProtocol":"cpFTP"})");
}

TEST_F(InternetOptionsTest, PasswordsAreStoredEncryptedAndLoadInClear) {
    FTPOptions()->SetFTPPassword("ftp-s3cret");
    EmailOptions()->SetSMTPPass("smtp-s3cret");
    OptionsService().SaveAll();
    EXPECT_EQ(ReadTextFile(FStore).find("s3cret"), std::string::npos);
    // Encrypted once, under the key's own name, so the command line's tools read it too.
    ordered_json section = Section();
    EXPECT_EQ(quillate::DecryptString(section["FTPPassword"].get<std::string>(), "FTPPassword"),
              "ftp-s3cret");
    EXPECT_EQ(quillate::DecryptString(section["SMTPPass"].get<std::string>(), "SMTPPass"), "smtp-s3cret");

    Restart();
    EXPECT_EQ(FTPOptions()->GetFTPPassword(), "ftp-s3cret");
    EXPECT_EQ(EmailOptions()->GetSMTPPass(), "smtp-s3cret");

    // An emptied password is stored empty and comes back empty.
    FTPOptions()->SetFTPPassword("");
    OptionsService().SaveAll();
    EXPECT_EQ(Section()["FTPPassword"], "");
    Restart();
    EXPECT_EQ(FTPOptions()->GetFTPPassword(), "");
    EXPECT_EQ(EmailOptions()->GetSMTPPass(), "smtp-s3cret");
}

} // namespace
} // namespace zr
