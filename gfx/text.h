// draw_string is public: <vxgfx/text.h>.
#pragma once

#include <vxgfx/text.h>
