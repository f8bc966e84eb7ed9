// FrameSync: the sync byte that opens every frame between the tool and the unit, in both directions.
#pragma once

#include <cstdint>

namespace frame {
constexpr std::uint8_t kSync = 0xFC;
}  // namespace frame
