// The package's e-mail and news protocols.
#include <string>
#include <tuple>

#include "host/Registration.h"
#include "mail/ZREmail.h"
#include "mail/ZREmailAddress.h"
#include "mail/ZREmailOptions.h"
#include "mail/ZRNNTPAction.h"
#include "package/Protocol.h"

namespace zr {

namespace {

// The property inspector's editors of the e-mail action; the type names what the property holds.
void RegisterEmailEditors() {
    const std::string addressList = TZRAddressList::ClassInfo().ClassName();
    const std::string stringList(quillate::PropertyKindName(quillate::TPropertyKind::StringList));
    const std::tuple<std::string, const char*, const char*> editors[] = {
        {std::string(quillate::PropertyKindName(quillate::TPropertyKind::Int32)), "Mode", "TEMailModeEditor"},
        {addressList, "Recipients", "TRecipientsEditor"},
        {addressList, "CopyTo", "TCopyToEditor"},
        {addressList, "BlindCopyTo", "TBlindCopyToEditor"},
        {addressList, "ReplyTo", "TReplyToEditor"},
        {stringList, "BodyObject", "TEmailBodyEditor"},
        {stringList, "AttachmentsObject", "TEmailAttachmentsEditor"},
    };
    for (const auto& [type, property, editor] : editors)
        quillate::ActionService().RegisterPropertyEditor(type, TEmailAction::ClassInfo(), property, editor);
}

} // namespace

const TProtocolDescriptor& EmailProtocol() {
    static const TProtocolDescriptor protocol{
        .Actions = {{&TEmailAction::ClassInfo(),
                     "ZREMAIL",
                     {"TEmailOptionsFrame", "TEmailWhoFrame", "TRecipientsFrame", "TBodyFrame", "TAttachmentsFrame",
                      "TCopyToFrame", "TBlindCopyToFrame", "TReplyToFrame"}}},
        .Options = {{&TZREmailOptions::ClassInfo(), "ZREMAIL", {"TEmailGlobalOptionsFrame"}}},
        .StoredClasses = {&TZREmailAddress::ClassInfo(), &TZRAddressList::ClassInfo()},
        .RegisterScriptNames = &RegisterEmailScriptNames,
        .RegisterEditors = &RegisterEmailEditors,
    };
    return protocol;
}

const TProtocolDescriptor& NewsProtocol() {
    static const TProtocolDescriptor protocol{
        .Actions = {{&TZRNNTPAction::ClassInfo(), "HNNTP", {"TNNTPFrame", "TBodyFrame", "TAttachmentsFrame"}}},
    };
    return protocol;
}

} // namespace zr
