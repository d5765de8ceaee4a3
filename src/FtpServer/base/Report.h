// One line on standard error per event, written with a single write so lines
// from several threads never interleave.
#pragma once

namespace osprel {

void reportLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace osprel
