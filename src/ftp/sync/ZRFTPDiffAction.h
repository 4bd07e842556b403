// TFTPDiffAction: the mirror's dry run. It compares a local folder with a remote one under the
// mirror's exclusions and file specs, counts what the mirror would do without changing either side,
// and succeeds only when that is nothing.
#pragma once

#include "ftp/sync/ZRFTPDiffBaseAction.h"

namespace zr {

class TFTPDiffAction : public TFTPDiffBaseAction {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;
    // A stop ends the walks between nodes; the diff sends no keep-alives.
    bool CheckNOOPandOperationAborted() override { return !CheckOperationAborted(); }

private:
    friend struct TFTPDiffActionProperties;
    std::string FDifferences;
};

} // namespace zr
