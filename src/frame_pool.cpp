// The pool of frames that carries decoded pictures from the readers to the
// render thread.
#include "frame_pool.h"

#include <cassert>
#include <utility>

namespace {

frame_t* frame_of(list_item_t* i)
{
    return i != nullptr ? list_entry(i, frame_t, dlink) : nullptr;
}

// The stream's waiting picture; with the pool's monitor held.
frame_t* find_ready(frame_pool_t* pool, stream_t* stream)
{
    list_for_each_entry(f, &pool->ready_frames, frame_t, dlink)
        if (f->stream == stream)
            return f;
    return nullptr;
}

}  // namespace

void frame_pool_init(frame_pool_t* pool, int frames)
{
    monitor_init(&pool->mon);
    pool->abort = 0;
    list_init(&pool->free_frames);
    list_init(&pool->ready_frames);
    pool->size = 0;
    frame_pool_grow(pool, frames);
}

void frame_pool_grow(frame_pool_t* pool, int frames)
{
    monitor_guard hold(&pool->mon);
    for (; pool->size < frames; ++pool->size) {
        frame_t* f = new frame_t{};
        list_item_init(&f->dlink);
        {
            ffmpeg_guard ff;
            f->frame = av_frame_alloc();
        }
        assert(f->frame != nullptr);
        list_append(&pool->free_frames, &f->dlink);
    }
    monitor_notify_all(&pool->mon);
}

void frame_pool_done(frame_pool_t* pool)
{
    {
        monitor_guard hold(&pool->mon);
        int freed = 0;
        for (list_t* l : {&pool->ready_frames, &pool->free_frames}) {
            while (frame_t* f = frame_of(list_remove_first(l))) {
                ffmpeg_deleter{}(f->frame);
                delete f;
                ++freed;
            }
        }
        assert(freed == pool->size);
        pool->size = 0;
    }
    monitor_done(&pool->mon);
}

frame_t* frame_pool_get_free(frame_pool_t* pool, stream_t* stream)
{
    frame_t* f;
    {
        monitor_guard hold(&pool->mon);
        f = frame_of(list_remove_first(&pool->free_frames));
        if (f != nullptr)
            return f;
        // No free frame: decode over this stream's own waiting picture.
        f = find_ready(pool, stream);
        if (f == nullptr)
            return nullptr;
        list_remove(&pool->ready_frames, &f->dlink);
        stream->frames_in_progress.fetch_sub(1);
        f->stream = nullptr;
    }
    stream->pictures_replaced.fetch_add(1, std::memory_order_relaxed);
    av_frame_unref(f->frame);
    return f;
}

void frame_pool_put_free(frame_pool_t* pool, frame_t* frame)
{
    assert(frame != nullptr);
    av_frame_unref(frame->frame);
    monitor_guard hold(&pool->mon);
    frame->stream = nullptr;
    list_append(&pool->free_frames, &frame->dlink);
    monitor_notify_all(&pool->mon);
}

void frame_pool_hand_over(frame_pool_t* pool, stream_t* stream, frame_t* frame)
{
    assert(frame != nullptr);
    assert(stream != nullptr);
    bool replaced = false;
    {
        monitor_guard hold(&pool->mon);
        frame_t* waiting = find_ready(pool, stream);
        if (waiting != nullptr) {
            // The new picture takes the waiting one's place; the older
            // picture goes back to the free list with the caller's record.
            std::swap(waiting->frame, frame->frame);
            frame->stream = nullptr;
            av_frame_unref(frame->frame);
            list_append(&pool->free_frames, &frame->dlink);
            replaced = true;
        } else {
            frame->stream = stream;
            stream->frames_in_progress.fetch_add(1);
            list_append(&pool->ready_frames, &frame->dlink);
        }
        monitor_notify_all(&pool->mon);
    }
    if (replaced)
        stream->pictures_replaced.fetch_add(1, std::memory_order_relaxed);
}

frame_t* frame_pool_take_ready(frame_pool_t* pool, long wait_ms)
{
    monitor_guard hold(&pool->mon);
    frame_t* f = frame_of(list_remove_first(&pool->ready_frames));
    if (f == nullptr && wait_ms > 0 && pool->abort.load() == 0) {
        monitor_wait_timeout(&pool->mon, wait_ms);
        f = frame_of(list_remove_first(&pool->ready_frames));
    }
    return f;
}

void frame_pool_give_back(frame_pool_t* pool, frame_t* frame)
{
    stream_t* s = frame->stream;
    assert(s != nullptr);
    // Dropped before the frame goes back, so the pool pins no decoder buffer.
    av_frame_unref(frame->frame);
    monitor_guard hold(&pool->mon);
    s->frames_in_progress.fetch_sub(1);
    frame->stream = nullptr;
    list_append(&pool->free_frames, &frame->dlink);
    monitor_notify_all(&pool->mon);
}

void frame_pool_wait_released(frame_pool_t* pool, stream_t* stream)
{
    monitor_guard hold(&pool->mon);
    while (stream->frames_in_progress.load() != 0 && pool->abort.load() == 0)
        monitor_wait(&pool->mon);
}

void frame_pool_abort(frame_pool_t* pool)
{
    monitor_guard hold(&pool->mon);
    pool->abort = 1;
    monitor_notify_all(&pool->mon);
}

bool frame_pool_aborted(const frame_pool_t* pool)
{
    return pool->abort.load() != 0;
}
