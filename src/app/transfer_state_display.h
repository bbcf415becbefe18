#pragma once

#include <cstdint>
#include <string>

#include "transfer/transfer_control.h"

namespace kw {

// The text Msg3Lbl shows for a state of the transfer control; for kError it reads the
// control's ResponseCode and ResponseInfo, and passes on a failure to read them.
std::string TransferStateText(std::int16_t state, TransferControl& inet);

}  // namespace kw
