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
    for (const auto& child : folder.FChildren)
        if (child->FIsFile || HoldsAFile(*child))
            return true;
    return false;
}

// What the mirror's walk would act on: every changed or orphaned file, every orphaned folder (it is
// deleted), and a changed folder when it is created: for a file inside it, or empty with empty folders on.
int CountDifferences(TFTPTreeNode& tree, bool includeEmptyDirs) {
    int count = 0;
    tree.Accept(
        [&count, includeEmptyDirs](TFTPTreeNode& node) {
            if (node.FDifference == tfaUnchanged)
                return true;
            if (node.FIsFile || node.FDifference == tfaOrphaned || includeEmptyDirs || HoldsAFile(node))
                ++count;
            return true;
        },
        trmHeadRecursion, tvdVisitChildren);
    return count;
}

} // namespace

bool TFTPDiffAction::DoFTPOperation(IFTPConnectionObject& connection) {
    auto prepared = PrepareLocalDir("The mirror operation should be set to either [local to remote] or [remote to local].",
                                    "Local Directory [{}] does not exist.");
    if (!prepared)
        return false;
    const std::string& localDir = *prepared;
    std::string returnTo;
    bool result = false;
    bool failed = false;
    try {
        returnTo = connection.GetRemoteDir();
        auto start = StartRun(connection, returnTo);
        if (!start)
            return false;
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
    if (GetRunStopped()) {
        SendMessage("FTP Mirror Aborted", stError);
        result = false;
    } else if (!failed && result) {
        SendMessage("FTP Mirror Complete", stSuccess);
    }
    try {
        if (!returnTo.empty())
            connection.ReturnToDir(returnTo);
    } catch (const net::EConnClosedGracefully&) {
        // The server has gone; there is nothing to return to.
    }
    return result && !failed;
}

} // namespace zr
