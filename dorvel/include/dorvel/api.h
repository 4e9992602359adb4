#pragma once
// The library is built with hidden visibility; only what carries DORVEL_API is
// exported, so the export set is exactly the interface its callers bind.
#define DORVEL_API __attribute__((visibility("default")))
