#pragma once
// Named binary blobs linked into the executable at build time
// (cmake: veltrac_embed_resources). Stand-in for the platform's resources by name.
#include <optional>
#include <string_view>

// The bytes of the resource Name, straight from the executable's read-only data (valid for the
// whole run; followed by one zero byte that is not counted). nullopt when the executable carries
// no resource of that name.
std::optional<std::string_view> FindResource(std::string_view Name);

// One registry entry, as the generated code lays them out in the section "veltrac_res".
struct TResourceEntry {
    const char* Name;
    const char* Begin;
    const char* End;
};
