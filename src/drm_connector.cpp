#include "drm_connector.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct resources_deleter {
    void operator()(drmModeRes* p) const { drmModeFreeResources(p); }
};
struct connector_deleter {
    void operator()(drmModeConnector* p) const { drmModeFreeConnector(p); }
};
struct encoder_deleter {
    void operator()(drmModeEncoder* p) const { drmModeFreeEncoder(p); }
};
using resources_ptr = std::unique_ptr<drmModeRes, resources_deleter>;
using connector_ptr = std::unique_ptr<drmModeConnector, connector_deleter>;
using encoder_ptr = std::unique_ptr<drmModeEncoder, encoder_deleter>;

std::string connector_name(const drmModeConnector* c)
{
    const char* type = drmModeGetConnectorTypeName(c->connector_type);
    return std::string(type != nullptr ? type : "Unknown") + "-" + std::to_string(c->connector_type_id);
}

}  // namespace

bool drm_pick_connector(int fd, const drm_request_t& request, drm_choice_t* choice, std::string* why)
{
    int want_w = 0, want_h = 0, want_hz = 0;
    if (request.mode != nullptr && !drm_parse_mode(request.mode, &want_w, &want_h, &want_hz)) {
        *why = "mode '" + std::string(request.mode) + "' is not WIDTHxHEIGHT[@HZ]";
        return false;
    }
    resources_ptr res(drmModeGetResources(fd));
    if (res == nullptr) {
        *why = std::string("not a mode-setting device: ") + strerror(errno);
        return false;
    }
    std::string seen;
    for (int i = 0; i < res->count_connectors; ++i) {
        connector_ptr c(drmModeGetConnector(fd, res->connectors[i]));
        if (c == nullptr)
            continue;
        const std::string name = connector_name(c.get());
        seen += (seen.empty() ? "" : ", ") + name + (c->connection == DRM_MODE_CONNECTED ? "" : " (not connected)");
        if (request.connector != nullptr ? name != request.connector
                                         : c->connection != DRM_MODE_CONNECTED || c->count_modes == 0)
            continue;
        if (c->connection != DRM_MODE_CONNECTED || c->count_modes == 0) {
            *why = "connector " + name + " is not connected";
            return false;
        }
        const drmModeModeInfo* m = nullptr;
        for (int k = 0; k < c->count_modes && m == nullptr; ++k) {
            const drmModeModeInfo& o = c->modes[k];
            if (request.mode != nullptr ? o.hdisplay == want_w && o.vdisplay == want_h
                                              && (want_hz == 0 || int(o.vrefresh) == want_hz)
                                        : (o.type & DRM_MODE_TYPE_PREFERRED) != 0)
                m = &o;
        }
        if (m == nullptr && request.mode == nullptr)
            m = &c->modes[0];
        if (m == nullptr) {
            *why = "connector " + name + " has no mode " + request.mode;
            return false;
        }
        // The CRTC that drives the connector now, else the first its
        // encoders can use.
        uint32_t crtc = 0;
        if (encoder_ptr e{drmModeGetEncoder(fd, c->encoder_id)}; e != nullptr)
            crtc = e->crtc_id;
        for (int k = 0; k < c->count_encoders && crtc == 0; ++k) {
            encoder_ptr e(drmModeGetEncoder(fd, c->encoders[k]));
            for (int j = 0; e != nullptr && j < res->count_crtcs && crtc == 0; ++j)
                if ((e->possible_crtcs & (1u << j)) != 0)
                    crtc = res->crtcs[j];
        }
        if (crtc == 0) {
            *why = "no CRTC for connector " + name;
            return false;
        }
        *choice = {c->connector_id, name, crtc, *m};
        return true;
    }
    *why = request.connector != nullptr ? "no connector " + std::string(request.connector) + " (there are: " + seen + ")"
                                        : "no connected connector" + (seen.empty() ? "" : " (" + seen + ")");
    return false;
}

bool drm_parse_mode(const char* text, int* width, int* height, int* hz)
{
    unsigned w = 0, h = 0, r = 0;
    int used = 0;
    if (text[strspn(text, "0123456789x@")] != '\0')
        return false;  // no signs or blanks, which sscanf would let by
    const bool with_hz = sscanf(text, "%5ux%5u@%3u%n", &w, &h, &r, &used) == 3 && text[used] == '\0';
    if (!with_hz && !(sscanf(text, "%5ux%5u%n", &w, &h, &used) == 2 && text[used] == '\0'))
        return false;
    if (w == 0 || h == 0 || w > 16384 || h > 16384 || (with_hz && r == 0) || !isdigit(static_cast<unsigned char>(text[0])))
        return false;
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    *hz = static_cast<int>(with_hz ? r : 0);
    return true;
}
