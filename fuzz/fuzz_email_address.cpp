// Typed addresses, delimited address texts and address-file contents; the first byte is the
// delimiter. Whatever comes in, no mailbox, name or text form may hold a control character.
#include "mail/ZREmailAddress.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void CheckClean(const zr::TZRCustomEmailAddress& address) {
    auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; };
    for (const std::string& text : {address.GetAddress(), address.GetName(), address.GetText()})
        if (std::any_of(text.begin(), text.end(), control))
            __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    std::string delimiter(1, static_cast<char>(data[0]));
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

    zr::TZREmailAddress address;
    address.SetText(input);
    CheckClean(address);
    if (address.GetAddress().size() + address.GetName().size() > input.size())
        __builtin_trap();
    zr::TZREmailAddress again;
    again.SetText(address.GetText());
    CheckClean(again);

    // A delimited text never gives an empty mailbox; an address file may (a line ",Name").
    zr::TZRAddressList list;
    try {
        list.AddDelimitedList(input, delimiter);
    } catch (const zr::EAddressListError&) {
    }
    for (const auto& entry : list.Entries()) {
        CheckClean(*entry);
        if (entry->GetAddress().empty())
            __builtin_trap();
    }
    list.Clear();
    list.AddLines(input);
    for (const auto& entry : list.Entries())
        CheckClean(*entry);
    return 0;
}
