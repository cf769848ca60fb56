// The attributes of the Identity object (class 1, instance 1) and the DeviceNet object (class
// 3, instance 1). All are read-only here.
#pragma once

#include "Attributes.h"
#include "PredefinedSet.h"
#include "SlaveSettings.h"

namespace dnsim {

// 1 vendor ID, 2 device type, 3 product code (UINT), 4 revision (major, minor), 5 status
// (WORD; bit 0 "owned" while a master holds the predefined set), 6 serial number (UDINT),
// 7 product name (SHORT_STRING: length, characters).
AttributeTable IdentityAttributes(const SlaveIdentity& identity, const PredefinedSet& set);

// 1 MAC ID, 2 baud rate (0 125k, 1 250k, 2 500k), 5 allocation information (choice bits,
// master's MAC ID; 0 and 0xFF while unallocated).
AttributeTable DeviceNetAttributes(uint8_t mac, uint32_t baud, const PredefinedSet& set);

}  // namespace dnsim
