#include "package/ZRInternetReg.h"

#include <string>
#include <tuple>
#include <utility>

#include "ftp/ZRFTPConnectAction.h"
#include "ftp/ZRFTPDirectoryActions.h"
#include "ftp/ZRFTPDownloadFileAction.h"
#include "ftp/ZRFTPOptions.h"
#include "ftp/ZRFTPUploadFileAction.h"
#include "ftp/ZRFTPWaitForFile.h"
#include "ftp/script/ZRFTP.h"
#include "ftp/sync/ZRFTPDiffAction.h"
#include "ftp/sync/ZRFTPMirrorAction.h"
#include "host/Options.h"
#include "host/Registration.h"
#include "host/Scripting.h"
#include "host/Serialization.h"
#include "icq/action/ZRICQAction.h"
#include "mail/ZREmail.h"
#include "mail/ZREmailAddress.h"
#include "mail/ZREmailOptions.h"
#include "mail/ZRNNTPAction.h"
#include "telnet/ZRTelnetClient.h"
#include "web/ZRInetGetHTTPAction.h"

namespace zr {

namespace {

using quillate::TMetaClass;
using quillate::TStringList;

constexpr const char* InternetCategory = "Internet";

// The actions registered after the HTTP and Telnet ones, in the order the palette lists them.
void RegisterRemainingActions() {
    const std::pair<const TMetaClass&, const char*> actions[] = {
        {TICQAction::ClassInfo(), "HICQ"},
        {TZRNNTPAction::ClassInfo(), "HNNTP"},
        {TFTPConnectionAction::ClassInfo(), "FTPCONNECT"},
        {TFTPUploadFileAction::ClassInfo(), "FTPUPLOAD"},
        {TFTPDownloadFileAction::ClassInfo(), "FTPDOWNLOAD"},
        {TFTPChangeDirAction::ClassInfo(), "FTPCHANGEDIR"},
        {TFTPChangeUpAction::ClassInfo(), "FTPCHANGEUP"},
        {TFTPGetRemoteDirAction::ClassInfo(), "FTPGETDIR"},
        {TFTPListDirAction::ClassInfo(), "FTPLISTDIR"},
        {TFTPGetFileSizeAction::ClassInfo(), "FTPGETSIZE"},
        {TFTPCreateDirAction::ClassInfo(), "FTPCREATEDIR"},
        {TFTPDeleteDirAction::ClassInfo(), "FTPDELETEDIR"},
        {TFTPDeleteFileAction::ClassInfo(), "FTPDELETEFILE"},
        {TFTPRenameFileAction::ClassInfo(), "FTPRENAMEFILE"},
        {TFTPNoopAction::ClassInfo(), "FTPNOOP"},
        {TFTPCheckIfConnectedAction::ClassInfo(), "FTPIFCONNECTED"},
        {TFTPDisconnectAction::ClassInfo(), "FTPDISCONNECT"},
        {TFTPWaitForFileAction::ClassInfo(), "FTPWAIT"},
        {TFTPSendCMDAction::ClassInfo(), "FTPSENDCMD"},
        {TFTPMirrorAction::ClassInfo(), "FTPMIRROR"},
    };
    for (const auto& [cls, image] : actions)
        quillate::ActionService().RegisterAction(InternetCategory, cls, image);
}

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

// The two option pages, then the pages of every action but the FTP script one (registered with its
// unit), each list in tab order.
void RegisterPages() {
    quillate::OptionsService().RegisterOptionPages(TZREmailOptions::ClassInfo(), {"TEmailGlobalOptionsFrame"});
    quillate::OptionsService().RegisterOptionPages(TZRFTPOptions::ClassInfo(), {"TFTPGlobalOptionsFrame"});

    const std::pair<const TMetaClass&, TStringList> pages[] = {
        {TEmailAction::ClassInfo(),
         {"TEmailOptionsFrame", "TEmailWhoFrame", "TRecipientsFrame", "TBodyFrame", "TAttachmentsFrame",
          "TCopyToFrame", "TBlindCopyToFrame", "TReplyToFrame"}},
        {TZRInetHTTPGetAction::ClassInfo(), {"TInetHTTPGetFrame", "THTTPProxyFrame"}},
        {TTelnetClientAction::ClassInfo(), {"TZRTelnetOptFrame", "TZRTelnetScrptFrame"}},
        {TICQAction::ClassInfo(), {"TICQFrame"}},
        {TZRNNTPAction::ClassInfo(), {"TNNTPFrame", "TBodyFrame", "TAttachmentsFrame"}},
        {TFTPConnectionAction::ClassInfo(), {"TFTPConnectFrame", "TFTPServerFrame", "TFTPNewProxyFrame"}},
        {TFTPUploadFileAction::ClassInfo(), {"TFTPUploadFileFrame", "TFTPUploadUpdateFrame"}},
        {TFTPDownloadFileAction::ClassInfo(), {"TFTPDownloadFileFrame"}},
        {TFTPChangeDirAction::ClassInfo(), {"TFTPChangeDirFrame"}},
        {TFTPChangeUpAction::ClassInfo(), {"TFTPChangeUpFrame"}},
        {TFTPGetRemoteDirAction::ClassInfo(), {"TFTPGetRemoteDirFrame"}},
        {TFTPListDirAction::ClassInfo(), {"TFTPListDirFrame"}},
        {TFTPGetFileSizeAction::ClassInfo(), {"TFTPGetFileSizeFrame"}},
        {TFTPCreateDirAction::ClassInfo(), {"TFTPCreateDirFrame"}},
        {TFTPDeleteDirAction::ClassInfo(), {"TFTPDeleteDirFrame"}},
        {TFTPDeleteFileAction::ClassInfo(), {"TFTPDeleteFileFrame"}},
        {TFTPRenameFileAction::ClassInfo(), {"TFTPRenameFileFrame"}},
        {TFTPDisconnectAction::ClassInfo(), {"TFTPDisconnectFrame"}},
        {TFTPNoopAction::ClassInfo(), {"TFTPNoopFrame"}},
        {TFTPCheckIfConnectedAction::ClassInfo(), {"TFTPCheckIfConnectedFrame"}},
        // The second page is the host's own page of every waiting action.
        {TFTPWaitForFileAction::ClassInfo(), {"TFTPWaitForFileFrame", "TWaitOptionsFrame"}},
        {TFTPSendCMDAction::ClassInfo(), {"TFTPSendCMDFrame"}},
        {TFTPMirrorAction::ClassInfo(),
         {"TFTPMirrorFrame", "TFTPMirrorOptFrame", "TFTPMirrorExcludeFrame", "TFTPRetryOptFrame",
          "TFTPMirrorLoggingOptFrame"}},
    };
    for (const auto& [cls, names] : pages)
        quillate::ActionService().RegisterPropertyPages(cls, names);
}

} // namespace

void RegisterPackage(bool designer) {
    RegisterEmailAction();
    if (designer)
        RegisterEmailEditors();
    RegisterEmailOptions();
    quillate::ActionService().RegisterAction(InternetCategory, TZRInetHTTPGetAction::ClassInfo(), "ZRHTTP");
    RegisterTelnetAction();
    RegisterRemainingActions();
    quillate::TSerializationRegistry::RegisterClasses({&TFTPRetryOptions::ClassInfo(), &TFTPLoggingOptions::ClassInfo()});
    quillate::CoreScriptingService().RegisterScriptEnum(FTPMirrorOperationInfo());
    RegisterFTPScriptActions(designer);
    RegisterFTPOptions();
    if (designer)
        RegisterPages();
    // The diff action is kept out of the palette but can still be stored in a project.
    quillate::TSerializationRegistry::RegisterClass(TFTPDiffAction::ClassInfo());
}

} // namespace zr
