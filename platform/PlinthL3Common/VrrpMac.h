#pragma once

#include "Pakt/EthAddr.h"

namespace PlinthL3Common {

// True for the VRRP virtual router MACs: 00:00:5e:00:01:XX (IPv4) and
// 00:00:5e:00:02:XX (IPv6).
bool isVrrpMac(Pakt::EthAddr const& mac);

}  // namespace PlinthL3Common
