#include "package/ZRInternetReg.h"

#include "ftp/ZRFTPConnectAction.h"
#include "ftp/ZRFTPDirectoryActions.h"
#include "ftp/ZRFTPDownloadFileAction.h"
#include "ftp/ZRFTPOptions.h"
#include "ftp/ZRFTPUploadFileAction.h"
#include "ftp/ZRFTPWaitForFile.h"
#include "ftp/script/ZRFTP.h"
#include "ftp/sync/ZRFTPDiffAction.h"
#include "ftp/sync/ZRFTPMirrorAction.h"
#include "host/Scripting.h"
#include "host/Registration.h"
#include "host/Serialization.h"
#include "icq/action/ZRICQAction.h"
#include "mail/ZREmail.h"
#include "mail/ZREmailAddress.h"
#include "mail/ZREmailOptions.h"
#include "mail/ZRNNTPAction.h"
#include "web/ZRInetGetHTTPAction.h"
#include "telnet/ZRTelnetClient.h"

namespace zr {

namespace {

constexpr const char* InternetCategory = "Internet";

// The single-step actions, in the order the palette lists them.
void RegisterRemainingActions() {
    auto& actions = quillate::ActionService();
    actions.RegisterAction(InternetCategory, TICQAction::ClassInfo(), "HICQ");
    actions.RegisterAction(InternetCategory, TZRNNTPAction::ClassInfo(), "HNNTP");
    actions.RegisterAction(InternetCategory, TFTPConnectionAction::ClassInfo(), "FTPCONNECT");
    actions.RegisterAction(InternetCategory, TFTPUploadFileAction::ClassInfo(), "FTPUPLOAD");
    actions.RegisterAction(InternetCategory, TFTPDownloadFileAction::ClassInfo(), "FTPDOWNLOAD");
    actions.RegisterAction(InternetCategory, TFTPChangeDirAction::ClassInfo(), "FTPCHANGEDIR");
    actions.RegisterAction(InternetCategory, TFTPChangeUpAction::ClassInfo(), "FTPCHANGEUP");
    actions.RegisterAction(InternetCategory, TFTPGetRemoteDirAction::ClassInfo(), "FTPGETDIR");
    actions.RegisterAction(InternetCategory, TFTPListDirAction::ClassInfo(), "FTPLISTDIR");
    actions.RegisterAction(InternetCategory, TFTPGetFileSizeAction::ClassInfo(), "FTPGETSIZE");
    actions.RegisterAction(InternetCategory, TFTPCreateDirAction::ClassInfo(), "FTPCREATEDIR");
    actions.RegisterAction(InternetCategory, TFTPDeleteDirAction::ClassInfo(), "FTPDELETEDIR");
    actions.RegisterAction(InternetCategory, TFTPDeleteFileAction::ClassInfo(), "FTPDELETEFILE");
    actions.RegisterAction(InternetCategory, TFTPRenameFileAction::ClassInfo(), "FTPRENAMEFILE");
    actions.RegisterAction(InternetCategory, TFTPNoopAction::ClassInfo(), "FTPNOOP");
    actions.RegisterAction(InternetCategory, TFTPCheckIfConnectedAction::ClassInfo(), "FTPIFCONNECTED");
    actions.RegisterAction(InternetCategory, TFTPDisconnectAction::ClassInfo(), "FTPDISCONNECT");
    actions.RegisterAction(InternetCategory, TFTPWaitForFileAction::ClassInfo(), "FTPWAIT");
    actions.RegisterAction(InternetCategory, TFTPSendCMDAction::ClassInfo(), "FTPSENDCMD");
    actions.RegisterAction(InternetCategory, TFTPMirrorAction::ClassInfo(), "FTPMIRROR");
}

} // namespace

void RegisterPackage(bool designer) {
    (void)designer;
    RegisterEmailAction();
    RegisterEmailOptions();
    quillate::ActionService().RegisterAction(InternetCategory, TZRInetHTTPGetAction::ClassInfo(), "ZRHTTP");
    RegisterTelnetAction();
    RegisterRemainingActions();
    quillate::TSerializationRegistry::RegisterClasses({&TFTPRetryOptions::ClassInfo(), &TFTPLoggingOptions::ClassInfo()});
    quillate::CoreScriptingService().RegisterScriptEnum(FTPMirrorOperationInfo());
    RegisterFTPScriptActions(designer);
    RegisterFTPOptions();
    // The diff action is kept out of the palette but can still be stored in a project.
    quillate::TSerializationRegistry::RegisterClass(TFTPDiffAction::ClassInfo());
}

} // namespace zr
