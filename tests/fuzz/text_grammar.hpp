// The one place the fuzz targets name the text-record header, so that moving
// it means changing one line.
#pragma once

#include "lib/text_record.hpp"
