// A copy of the surface that another thread asks the render thread for,
// made between two pictures so that it holds whole pictures only. The
// asker's wait is bounded, and a request it withdrew is never written later.
#pragma once

#include <atomic>

#include "output.h"
#include "velmor.h"

struct copy_request_t {
    // Under mon, but `wanted`, which the render thread looks at after every
    // picture.
    monitor_t mon;
    surface_copy_t* copy = nullptr;
    std::atomic<int> wanted{0};
};

void copy_request_init(copy_request_t* r);
void copy_request_done(copy_request_t* r);

// The asker: false when no copy was made within timeout_ms.
bool copy_request_wait(copy_request_t* r, surface_copy_t* out, long timeout_ms);

// The render thread: whether a copy is asked for, and the copy of the
// device's surface turned back by `degrees` into what the viewer sees.
bool copy_request_pending(const copy_request_t* r);
void copy_request_serve(copy_request_t* r, const fbuffer_t* device, int degrees);
