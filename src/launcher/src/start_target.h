#pragma once

#include "launcher/src/launch_request.h"

// Starts the target of a launch request that no running process took, with the request forwarded
// on its command line: through the service when it may, else directly from the application
// folder. May change the request's target name and launch record, and parses its options again.
StartOutcome StartTarget(LaunchRequest& request);
