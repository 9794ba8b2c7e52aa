// Whole-file replacement shared by the image and text writers.
#pragma once

#include <string>

namespace lvplumbing {

// A name beside `path` (same folder, so a rename stays on one file system;
// same extension, so an encoder picks the same format) that no other writer
// in this process is using.
std::string partialSibling(const std::string& path);

}  // namespace lvplumbing
