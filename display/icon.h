// The icon is public: <vxgfx/icon.h>.
#pragma once

#include <vxgfx/icon.h>
