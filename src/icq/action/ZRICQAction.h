// "Send ICQ Message": signs on to an ICQ (OSCAR) server, sends one text to each recipient, as a
// message or as SMS through the service, and signs off.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/Action.h"

namespace zr {

namespace icq {
class TICQClient;
}

class TICQAction : public quillate::TZRAction {
public:
    TICQAction() { SetCanTerminate(true); }
    static constexpr const char* PasswordKey = "qzr4icqp0st";
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    bool Execute() override;
    bool Validate(quillate::TValidationErrors& errors) override;
    std::string GetActionName() const override { return "Send ICQ Message"; }
    int GetHelpTopicID() const override { return 2340; }
    std::string GetQuickHelpFilename() const override { return "Plugins\\SendICQMessage.html"; }

private:
    friend struct TICQActionProperties;

    // Runs one send; a message the protocol cannot carry is logged and the client logged off.
    bool SendOrExplain(icq::TICQClient& client, const std::string& recipient, const std::function<void()>& send);

    std::uint32_t GetPort() const { return FPort; }
    void SetPort(std::uint32_t value) { FPort = value; }

    std::string FICQNumber;
    std::string FCookie; // the password's stored form
    std::string FToICQNumber;
    std::string FTheMessage;
    std::string FServer = "login.icq.com";
    std::uint32_t FPort = 5190;
    bool FSendSMS = false;
    std::int32_t FLoginTimeout = 60;
};

} // namespace zr
