// The one place the fuzz targets name the text-record header, so that moving
// it means changing one line.
#pragma once

#include "paywheel/batch/text_record.hpp"
