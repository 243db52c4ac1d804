// The COM1 to COM4 radio buttons by position; their ids are not consecutive.
#pragma once

#include <array>

#include "res/resource.h"

namespace res {

inline constexpr std::array<int, 4> kComRadioIds = {IDC_COM1, IDC_COM2, IDC_COM3, IDC_COM4};

}  // namespace res
