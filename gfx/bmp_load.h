// image_load is public: <vxgfx/image.h>.
#pragma once

#include <vxgfx/image.h>
