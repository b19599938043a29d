#pragma once
// The computer's power as the battery rule reads it. The program's own
// definition (power_status.cpp) asks Windows; the simulated builds link the
// simulated dock's instead, which reads it from the dock's state file.
#include "update/portable/battery_rule.h"

// Unknown on both fields when the system cannot tell.
PowerStatus ReadPowerStatus();
