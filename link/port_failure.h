// Why a port could not be opened, in the terms a user acts on.
#pragma once

namespace comm {

// Why an Open failed, as the system told it.
enum class PortFailure {
  kNone,
  kNotPermitted,  // the user may not open the device
  kBusy,          // another program holds it
  kMissing,       // no such device
  kUnknownHost,   // a network port whose host has no address
  kRefused,       // a network port where nothing takes the connection
  kSettings,      // the line would not take the speed and framing
  kOther,
};

}  // namespace comm
