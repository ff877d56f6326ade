// The inputs of one window: a list played in turn, live inputs told from
// files, and the way back to an input's start.
#pragma once

#include <cstddef>

#include "velmor.h"

// How many inputs the stream plays in turn, and the URL of one of them.
size_t playlist_size(const stream_t* s);
const char* playlist_url(const stream_t* s, size_t item);

// Whether a URL names a source that has no start to go back to: a network
// stream, a pipe or a device. Files, HTTP and the like can only be known
// once open (playlist_can_rewind).
bool playlist_is_live(const char* url);
// Whether the open input can seek back to its start.
bool playlist_can_rewind(const AVFormatContext* in);
// Seeks back to the start of the input and empties the decoder; false when
// the input refuses.
bool playlist_rewind(AVFormatContext* in, int video_stream, AVCodecContext* dec);

// Where a stream is in its list.
class playlist_t {
public:
    const char* url(const stream_t* s) const { return playlist_url(s, item_); }
    // Goes on to the list's next input after the current one ended (or
    // could not be opened: it is skipped from now on), from the start again
    // with -l (a loop). False when nothing is left: the list starts again,
    // every input to be tried anew.
    bool advance(stream_t* s, bool unopenable);

private:
    size_t item_ = 0;
    std::vector<bool> unopenable_;
};
