// The hidden names of uploads still running, on file systems without
// O_TMPFILE (StoredFile.h): listings leave them out and no client path
// reaches them.
#pragma once

#include <stddef.h>

#include <string_view>

namespace osprel {

// ".osprel-upload-" and 16 lowercase hexadecimal digits, exactly.
constexpr std::string_view kHiddenUploadPrefix = ".osprel-upload-";
constexpr size_t kHiddenUploadDigits = 16;

inline bool isHiddenUploadName(std::string_view name) {
    if (name.size() != kHiddenUploadPrefix.size() + kHiddenUploadDigits || !name.starts_with(kHiddenUploadPrefix))
        return false;
    for (char c : name.substr(kHiddenUploadPrefix.size()))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace osprel
