/* Test clock: see clock_shim.c. */
#ifndef CLOCK_SHIM_H
#define CLOCK_SHIM_H
#ifdef __cplusplus
extern "C" {
#endif
__attribute__((visibility("default"))) void clockShimSet(long long seconds, long microseconds);
__attribute__((visibility("default"))) void clockShimFail(int fail);
__attribute__((visibility("default"))) void clockShimRelease(void);
#ifdef __cplusplus
}
#endif
#endif
