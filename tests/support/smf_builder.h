#pragma once
// Builds Standard MIDI File bytes in memory for tests. (Filled in with the reader's tests.)
