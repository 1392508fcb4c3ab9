// The update flow: compares the companion tool with the server's copy,
// brings it up to date under the update lock, and starts it in the mode that
// the outcome asks for.
#pragma once

#include <string>

class SarvoTesterT;

namespace companion {

// Where the flow finds what it works on: the companion's executable and the
// marker file whose presence switches the update off.
struct UpdatePlaces {
  std::string companion;
  std::string noUpdateMarker;
};

// The flow of SarvoTesterT::UpdateAndStart (GUI thread). The tester hands out
// the status texts and runs the size check and the download; errors of the
// settings store reach the caller.
void UpdateAndStart(SarvoTesterT& tester, const UpdatePlaces& places);

}  // namespace companion
