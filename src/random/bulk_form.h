// bulk_form.h — the block-function form that bulk drawing computes with.
#pragma once

#include "random/chacha.h"

namespace tesk::random {

/// The widest block-function form this processor runs: what bulk drawing computes with.
/// Chosen once.
const ChachaForm& bulk_chacha_form() noexcept;

} // namespace tesk::random
