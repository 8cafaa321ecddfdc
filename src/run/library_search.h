// SPDX-License-Identifier: Zlib
#pragma once

// Confines every library loaded by name from now on to the system directory, so that a DLL
// dropped beside the stub (a downloads folder anyone can write to) is never picked up. False when
// the system lacks the call (it predates it) or refuses it; the run goes on either way.
bool LimitLibrarySearchToSystem();
