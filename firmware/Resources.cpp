#include "firmware/Resources.h"

// Provided by the linker when some object of the executable has a "veltrac_res" section;
// weak so that an executable without resources links and sees none.
extern "C" {
extern TResourceEntry __start_veltrac_res[] __attribute__((weak));
extern TResourceEntry __stop_veltrac_res[] __attribute__((weak));
}

std::optional<std::string_view> FindResource(std::string_view Name)
{
    const TResourceEntry* First = __start_veltrac_res;
    const TResourceEntry* Last = __stop_veltrac_res;
    if (First == nullptr || Last == nullptr)
        return std::nullopt;
    for (const TResourceEntry* e = First; e < Last; ++e) {
        if (e->Name == nullptr || e->Begin == nullptr || e->End < e->Begin)
            continue;
        if (Name == std::string_view(e->Name))
            return std::string_view(e->Begin, static_cast<std::size_t>(e->End - e->Begin));
    }
    return std::nullopt;
}
