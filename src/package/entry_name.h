// The names of zip entries as the archive's writer meant them.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// The UTF-8 name of an entry from what the archive stores for it: its raw
// name bytes, its general-purpose flags and its extra field. A name marked as
// UTF-8 is taken as it is; otherwise an Info-ZIP Unicode path field (0x7075)
// whose CRC-32 matches the raw name wins; otherwise a name that is valid
// UTF-8 is kept (Info-ZIP on Unix writes those without the mark); otherwise
// it is code page 437, the format's own rule. Always valid UTF-8: a name
// marked as UTF-8 that is not is read as code page 437 too.
std::string ZipEntryName(std::string_view raw, uint16_t flags, std::string_view extra);
