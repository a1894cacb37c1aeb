// The program icon store: the records the program handed over, checked once here so the back
// ends can trust every size they read.
#include <vxgfx/icon.h>

#include <vector>

namespace vx {
namespace {

std::vector<ProgramIcon> kept_sizes;

bool usable(const ProgramIcon& icon) {
    return icon.argb != nullptr && icon.width >= 1 && icon.width <= program_icon_max_side &&
           icon.height >= 1 && icon.height <= program_icon_max_side;
}

}  // namespace

void set_program_icon(std::span<const ProgramIcon> sizes) {
    kept_sizes.clear();
    for (const ProgramIcon& icon : sizes) {
        if (kept_sizes.size() == program_icon_max_sizes) break;
        if (usable(icon)) kept_sizes.push_back(icon);
    }
}

std::span<const ProgramIcon> program_icon() { return kept_sizes; }

}  // namespace vx
