// The e-mail action's addresses as the pages see them: child objects found by their role tag and
// created through the serialization registry, so the pages never link the action classes.
#pragma once

#include "host/Serialization.h"

#include <QString>
#include <memory>
#include <string>
#include <vector>

namespace zr::pages {

// One entry of an address list as the grid shows it.
struct TAddressRow {
    QString Address;
    QString Name;
    bool Enabled = true;

    bool operator==(const TAddressRow&) const = default;
};

// The single address of `owner` whose AddressType is `role` ("from", "sender", "ReceiptRecipient");
// created and handed to the owner when it has none.
std::shared_ptr<quillate::TSerializableObject> AddressOf(quillate::TSerializableObject& owner,
                                                         const std::string& role);
// Nullptr when the owner has no such address.
std::shared_ptr<quillate::TSerializableObject> FindAddress(const quillate::TSerializableObject& owner,
                                                           const std::string& role);

// The entries of the list whose ListType is `listType` ("recipients", "copyto", ...); none when the
// owner has no such list.
std::vector<TAddressRow> ReadAddressList(const quillate::TSerializableObject& owner,
                                         const std::string& listType);
// Gives the owner a new list of that type holding `rows`; the owner puts it in the place of its
// list of the same type.
void WriteAddressList(quillate::TSerializableObject& owner, const std::string& listType,
                      const std::vector<TAddressRow>& rows);

// The entries of an address file (one address a line, "mailbox" or "mailbox,Name"), read by the
// address list's own file reader. Throws std::runtime_error when the file is missing or unreadable.
std::vector<TAddressRow> LoadAddressFile(const std::string& path);
// The same format back: one "mailbox,Name" line per entry ("mailbox" alone without a name).
std::string AddressFileText(const std::vector<TAddressRow>& rows);

} // namespace zr::pages
