// Snapshots: what the surface shows, written as a PNG picture.
#pragma once

#include <string>

// Takes a copy of the surface from the render thread (between two pictures)
// and encodes it on the calling thread with FFmpeg's PNG encoder, in RGB
// whatever the device's layout. False with the reason when no file was
// written.
bool snapshot_write(const char* file, std::string* reason);
