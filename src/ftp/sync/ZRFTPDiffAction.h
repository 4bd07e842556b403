// TFTPDiffAction: compares a local folder with a remote one without changing either, logs the
// differences and succeeds only when there are none.
#pragma once

#include "ftp/sync/ZRFTPDiffBaseAction.h"

namespace zr {

class TFTPDiffAction : public TFTPDiffBaseAction {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    // Items (files, folders holding files, and empty folders when they count) not marked unchanged.
    static int CountDifferences(TFTPTreeNode& tree, bool includeEmptyDirs);

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;
    // The diff neither sends keep-alives nor stops its walks early.
    bool CheckNOOPandOperationAborted() override { return true; }

private:
    friend struct TFTPDiffActionProperties;
    std::string FDifferences;
};

} // namespace zr
