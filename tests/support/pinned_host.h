// What in_netns.sh pins, and the fixed clock the tests use.
#pragma once

#define PINNED_HOST_NAME "box"
#define PINNED_HOST_ADDRESS "192.168.1.10"
#define PINNED_HOST_GROUP "[box][192.168.1.10] "
// Thursday 24 September 2015, 17:31:35.042 UTC.
#define PINNED_EPOCH_SECONDS 1443115895LL
#define PINNED_MICROSECONDS 42000L
#define PINNED_TIME_GROUP "[Sep-24-2015, Thur.][17:31:35.042] "
