// Puts the process back to its first state: a fresh simulated Windows and every
// process-wide value of the probe as it is at start-up.
#pragma once

void ResetProcessState();
