#include "ftp/sync/ZRFTPDiffAction.h"


#include <fmt/format.h>

#include "net/NetErrors.h"

namespace zr {

using namespace quillate;

struct TFTPDiffActionProperties {
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<TFTPDiffAction>(table).String("Differences", &TFTPDiffAction::FDifferences);
    }
};

const TMetaClass& TFTPDiffAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TFTPDiffAction>("TFTPDiffAction", "action.ftp.diff",
                                                                  &TFTPDiffBaseAction::ClassInfo(),
                                                                  &TFTPDiffActionProperties::Define);
    return meta;
}

namespace {
bool HoldsAFile(const TFTPTreeNode& folder) {
    if (folder.FIsFile)
        throw std::logic_error("IsEmptyDirectory was passed a file node.");
    for (const auto& child : folder.FChildren)
        if (child->FIsFile || HoldsAFile(*child))
            return true;
    return false;
}
} // namespace

int TFTPDiffAction::CountDifferences(TFTPTreeNode& tree, bool includeEmptyDirs) {
    int count = 0;
    tree.Accept(
        [&count, includeEmptyDirs](TFTPTreeNode& node) {
            if (node.FDifference == tfaUnchanged)
                return true;
            if (node.FIsFile || HoldsAFile(node) || includeEmptyDirs)
                ++count;
            return true;
        },
        trmHeadRecursion, tvdVisitChildren);
    return count;
}

bool TFTPDiffAction::DoFTPOperation(IFTPConnectionObject& connection) {
    auto prepared = PrepareLocalDir("The mirror operation should be set to either [local to remote] or [remote to local].",
                                    "Local Directory [{}] does not exist.");
    if (!prepared)
        return false;
    const std::string& localDir = *prepared;
    auto logger = std::make_shared<TFTPLogger>(this, FLogFiles);
    FTPServiceLocator().RegisterLogger(logger);
    std::string returnTo = connection.GetRemoteDir();
    bool result = false;
    bool failed = false;
    try {
        auto start = StartRun(connection, returnTo);
        if (!start) {
            FTPServiceLocator().DeregisterLogger(logger);
            return false;
        }
        TFTPTreeNodePtr tree;
        if (CreateFTPDifferencesTree(connection, start->Options, start->Skew, localDir, start->RemoteRoot, tree)) {
            int count = CountDifferences(*tree, FIncludeEmptyDirs);
            SendMessage(fmt::format("Total Differences [{}]", count), stInformation);
            result = count == 0;
        } else {
            failed = true;
        }
    } catch (const std::exception& e) {
        SendMessage(std::string("FTP Mirror failed. ") + e.what(), stError);
        failed = true;
    }
    if (Aborted()) {
        SendMessage("FTP Mirror Aborted", stError);
        result = false;
    } else if (!failed && result) {
        SendMessage("FTP Mirror Complete", stSuccess);
    }
    try {
        connection.ChangeDir(returnTo);
    } catch (const net::EConnClosedGracefully&) {
        // The server has gone; there is nothing to return to.
    } catch (...) {
        FTPServiceLocator().DeregisterLogger(logger);
        throw;
    }
    FTPServiceLocator().DeregisterLogger(logger);
    return result && !failed;
}

} // namespace zr
