#include "options/ZRInternetOptions.h"

#include <memory>
#include <vector>

namespace zr {

using namespace quillate;

const TMetaClass& TZRInternetOptions::ClassInfo() {
    static const TMetaClass info =
        TMetaClass::Of<TZRInternetOptions>("TZRInternetOptions", "", &TZROptionsObject::ClassInfo());
    return info;
}

void TZRInternetOptions::SaveOptions(IZROptionsWriter& writer) {
    // Every object is fetched before anything is written: fetching may load one from this section.
    // The object being saved speaks for itself, even when it is not the service's shared one.
    std::vector<std::shared_ptr<TZRInternetOptions>> held;
    std::vector<TZRInternetOptions*> writers;
    bool selfRegistered = false;
    for (const auto& registration : OptionsService().Options()) {
        if (!registration.Class->InheritsFrom(ClassInfo()))
            continue;
        if (registration.Class == &GetClass()) {
            writers.push_back(this);
            selfRegistered = true;
            continue;
        }
        held.push_back(OptionsService().GetOptionsAs<TZRInternetOptions>(*registration.Class));
        writers.push_back(held.back().get());
    }
    if (!selfRegistered)
        writers.insert(writers.begin(), this);
    for (TZRInternetOptions* options : writers)
        options->SaveOwnOptions(writer);
}

} // namespace zr
