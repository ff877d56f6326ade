#include "copy_request.h"

#include "rotate.h"

void copy_request_init(copy_request_t* r)
{
    monitor_init(&r->mon);
}

void copy_request_done(copy_request_t* r)
{
    monitor_done(&r->mon);
}

bool copy_request_wait(copy_request_t* r, surface_copy_t* out, long timeout_ms)
{
    monitor_guard hold(&r->mon);
    out->pixels.clear();
    out->width = out->height = 0;
    r->copy = out;
    r->wanted = 1;
    const long long deadline = current_time_in_millis() + timeout_ms;
    for (long long left = timeout_ms; r->copy != nullptr && left > 0; left = deadline - current_time_in_millis())
        monitor_wait_timeout(&r->mon, static_cast<long>(left));
    // Not taken in time: withdrawn, so the render thread never writes it later.
    const bool taken = r->copy == nullptr;
    r->copy = nullptr;
    r->wanted = 0;
    return taken && out->width > 0 && out->height > 0;
}

bool copy_request_pending(const copy_request_t* r)
{
    return r->wanted.load(std::memory_order_relaxed) != 0;
}

void copy_request_serve(copy_request_t* r, const fbuffer_t* device, int degrees)
{
    monitor_guard hold(&r->mon);
    if (r->copy != nullptr) {
        output_copy_surface(device, r->copy);
        rotate_copy_back(r->copy, degrees);
    }
    r->copy = nullptr;
    r->wanted = 0;
    monitor_notify_all(&r->mon);
}
