#include "app/transfer_state_display.h"

namespace kw {

std::string TransferStateText(std::int16_t state, TransferControl& inet) {
  switch (state) {
    case kResolvingHost:
      return "Looking up host computer IP address";
    case kHostResolved:
      return "IP address found";
    case kConnecting:
      return "Connectiong to host computer";
    case kConnected:
      return "Connected to host computer";
    case kRequesting:
      return "Sending a request to host computer";
    case kRequestSent:
      return "Request sent";
    case kReceivingResponse:
      return "Receiving a response from host computer";
    case kResponseReceived:
      return "Response received";
    case kDisconnecting:
      return "Disconnecting from host computer";
    case kDisconnected:
      return "Disconnected from host computer";
    case kError: {
      const std::int32_t code = inet.ResponseCode();
      return "Error [" + std::to_string(code) + ": " + inet.ResponseInfo() + "]";
    }
    case kResponseCompleted:
      return "Request completed successfully.";
    default:
      return "?";
  }
}

}  // namespace kw
