// TZRInternetOptions: base of the option objects that share the store section "Internet".
#pragma once

#include "host/Options.h"

#include <string>

namespace zr {

// The FTP and e-mail options live side by side in one section, so saving any of them writes the
// values of every registered class of the section: the section always holds the complete, current
// set. Each class writes only its own keys; this base knows none of them.
class TZRInternetOptions : public quillate::TZROptionsObject {
public:
    static const quillate::TMetaClass& ClassInfo();

    std::string Section() const override { return "Internet"; }
    // Every registered class of the section, in registration order, writes its own keys.
    void SaveOptions(quillate::IZROptionsWriter& writer) final;

protected:
    TZRInternetOptions() = default;
    // This object's own keys; passwords in clear text (the store encrypts its password keys).
    virtual void SaveOwnOptions(quillate::IZROptionsWriter& writer) = 0;
};

} // namespace zr
