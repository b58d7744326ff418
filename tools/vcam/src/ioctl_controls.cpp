// Controls of the capture node (the exposure controls and the class
// controls the V4L2 control framework adds) and their change events.
#include "ioctl_handlers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vcam {
namespace {

// Controls: the three exposure controls plus the class controls that the
// V4L2 control framework always adds.
struct CtrlDesc {
    std::uint32_t id;
    std::uint32_t type;
    const char *name;
    std::int32_t min, max, step;
};

constexpr std::uint32_t kMenuMask = (1u << 1) | (1u << 3); // manual, aperture priority

const CtrlDesc kCtrls[] = {
    {V4L2_CID_USER_CLASS, V4L2_CTRL_TYPE_CTRL_CLASS, "User Controls", 0, 0, 0},
    {V4L2_CID_EXPOSURE, V4L2_CTRL_TYPE_INTEGER, "Exposure", 0, 255, 1},
    {V4L2_CID_CAMERA_CLASS, V4L2_CTRL_TYPE_CTRL_CLASS, "Camera Controls", 0, 0, 0},
    {V4L2_CID_EXPOSURE_AUTO, V4L2_CTRL_TYPE_MENU, "Auto Exposure", 0, 3, 0},
    {V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, "Exposure Time, Absolute", 1, 5000, 1},
};

const CtrlDesc *findCtrl(std::uint32_t id) {
    for (const CtrlDesc &c : kCtrls)
        if (c.id == id)
            return &c;
    return nullptr;
}

struct CtrlRange {
    std::int32_t min, max, step, def;
};

CtrlRange rangeOf(const CtrlDesc &c, const Profile &p) {
    switch (c.id) {
    case V4L2_CID_EXPOSURE:
        return {c.min, c.max, c.step, p.exposure};
    case V4L2_CID_EXPOSURE_AUTO:
        return {c.min, c.max, 1, p.exposureAuto};
    case V4L2_CID_EXPOSURE_ABSOLUTE:
        return {p.exposureAbsoluteMin, p.exposureAbsoluteMax, 1, p.exposureAbsolute};
    default:
        return {0, 0, 0, 0};
    }
}

int *ctrlValue(Session &s, std::uint32_t id) {
    switch (id) {
    case V4L2_CID_EXPOSURE:
        return &s.exposure;
    case V4L2_CID_EXPOSURE_AUTO:
        return &s.exposureAuto;
    case V4L2_CID_EXPOSURE_ABSOLUTE:
        return &s.exposureAbsolute;
    default:
        return nullptr;
    }
}

// Checks a new value the way the control framework does: integers are
// clamped to the range and step, menu values must be valid items.
int checkCtrlValue(const CtrlDesc &c, const CtrlRange &r, std::int32_t &value) {
    if (c.type == V4L2_CTRL_TYPE_CTRL_CLASS)
        return -EACCES;
    if (c.type == V4L2_CTRL_TYPE_MENU) {
        (void)r.step;
        if (value < r.min || value > r.max)
            return -ERANGE;
        if (!(kMenuMask & (1u << value)))
            return -EINVAL;
        return 0;
    }
    value = std::min(std::max(value, r.min), r.max);
    if (r.step > 1)
        value = r.min + (value - r.min + r.step / 2) / r.step * r.step;
    return 0;
}

void fillQueryCtrl(v4l2_query_ext_ctrl &q, const CtrlDesc &c, const Profile &p) {
    const std::uint32_t id = q.id;
    std::memset(&q, 0, sizeof q);
    q.id = c.id;
    (void)id;
    q.type = c.type;
    copyString(reinterpret_cast<std::uint8_t *>(q.name), sizeof q.name, c.name);
    const CtrlRange r = rangeOf(c, p);
    q.minimum = r.min;
    q.maximum = r.max;
    q.step = std::uint64_t(r.step);
    q.default_value = r.def;
    if (c.type == V4L2_CTRL_TYPE_CTRL_CLASS)
        q.flags = V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
    q.elem_size = c.type == V4L2_CTRL_TYPE_CTRL_CLASS ? 0 : 4;
    q.elems = 1;
    q.nr_of_dims = 0;
}

// The next control after `id` in id order (V4L2_CTRL_FLAG_NEXT_CTRL).
const CtrlDesc *nextCtrl(std::uint32_t id) {
    const CtrlDesc *best = nullptr;
    for (const CtrlDesc &c : kCtrls)
        if (c.id > id && (!best || c.id < best->id))
            best = &c;
    return best;
}

const CtrlDesc *lookupQuery(std::uint32_t rawId) {
    const std::uint32_t flags = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
    if ((rawId & flags) == V4L2_CTRL_FLAG_NEXT_COMPOUND)
        return nullptr; // no compound controls
    if (rawId & flags)
        return nextCtrl(rawId & ~flags);
    return findCtrl(rawId);
}

v4l2_event ctrlEvent(const CtrlDesc &c, const CtrlRange &r, std::int32_t value, std::uint32_t changes) {
    v4l2_event ev{};
    ev.type = V4L2_EVENT_CTRL;
    ev.id = c.id;
    ev.u.ctrl.changes = changes;
    ev.u.ctrl.type = c.type;
    ev.u.ctrl.value = value;
    if (c.type == V4L2_CTRL_TYPE_CTRL_CLASS)
        ev.u.ctrl.flags = V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
    ev.u.ctrl.minimum = r.min;
    ev.u.ctrl.maximum = r.max;
    ev.u.ctrl.step = r.step;
    ev.u.ctrl.default_value = r.def;
    return ev;
}

void pushEvent(EventState &es, v4l2_event ev) {
    constexpr std::size_t kMaxPending = 32;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ev.timestamp = ts;
    ev.sequence = es.sequence++;
    if (es.queue.size() >= kMaxPending)
        es.queue.pop_front();
    es.queue.push_back(ev);
}

// Tells every subscriber of a control but the one that changed it (unless
// it asked for feedback) about the new value.  Session mutex held.
void announceValue(Session &s, const EventState *origin, const CtrlDesc &c, const CtrlRange &r,
                   std::int32_t value) {
    for (auto &weak : s.eventStates) {
        std::shared_ptr<EventState> es = weak.lock();
        if (!es)
            continue;
        for (const auto &sub : es->subs)
            if (sub.id == c.id && (es.get() != origin || (sub.flags & V4L2_EVENT_SUB_FL_ALLOW_FEEDBACK)))
                pushEvent(*es, ctrlEvent(c, r, value, V4L2_EVENT_CTRL_CH_VALUE));
    }
}

} // namespace

namespace ioctls {

int events(IoctlCall &call) {
    OpenFile &of = call.of;
    Session &s = call.s;
    const Profile &p = call.p;
    const unsigned request = call.request;
    auto *sub = static_cast<v4l2_event_subscription *>(call.arg);
    EventState &es = *of.events;
    if (request == VIDIOC_UNSUBSCRIBE_EVENT) {
        if (sub->type == V4L2_EVENT_ALL)
            es.subs.clear();
        else if (sub->type == V4L2_EVENT_CTRL)
            es.subs.erase(std::remove_if(es.subs.begin(), es.subs.end(),
                                         [&](const EventState::Sub &x) { return x.id == sub->id; }),
                          es.subs.end());
        return 0;
    }
    if (sub->type != V4L2_EVENT_CTRL)
        return -EINVAL;
    const CtrlDesc *d = findCtrl(sub->id);
    if (!d)
        return -EINVAL;
    for (const auto &x : es.subs)
        if (x.id == sub->id)
            return 0;
    es.subs.push_back({sub->id, sub->flags});
    if ((sub->flags & V4L2_EVENT_SUB_FL_SEND_INITIAL) && d->type != V4L2_CTRL_TYPE_CTRL_CLASS)
        pushEvent(es, ctrlEvent(*d, rangeOf(*d, p), *ctrlValue(s, d->id),
                                V4L2_EVENT_CTRL_CH_VALUE | V4L2_EVENT_CTRL_CH_FLAGS | V4L2_EVENT_CTRL_CH_RANGE));
    return 0;
}

int dequeueEvent(IoctlCall &call) {
    OpenFile &of = call.of;
    EventState &es = *of.events;
    if (es.queue.empty())
        return -ENOENT;
    *static_cast<v4l2_event *>(call.arg) = es.queue.front();
    es.queue.pop_front();
    static_cast<v4l2_event *>(call.arg)->pending = std::uint32_t(es.queue.size());
    return 0;
}

int queryCtrl(IoctlCall &call) {
    const Profile &p = call.p;
    auto *q = static_cast<v4l2_queryctrl *>(call.arg);
    const CtrlDesc *c = lookupQuery(q->id);
    if (!c)
        return -EINVAL;
    v4l2_query_ext_ctrl e{};
    fillQueryCtrl(e, *c, p);
    std::memset(q, 0, sizeof *q);
    q->id = e.id;
    q->type = e.type;
    copyString(q->name, sizeof q->name, c->name);
    q->minimum = std::int32_t(e.minimum);
    q->maximum = std::int32_t(e.maximum);
    q->step = std::int32_t(e.step);
    q->default_value = std::int32_t(e.default_value);
    q->flags = e.flags;
    return 0;
}

int queryExtCtrl(IoctlCall &call) {
    const Profile &p = call.p;
    auto *q = static_cast<v4l2_query_ext_ctrl *>(call.arg);
    const CtrlDesc *c = lookupQuery(q->id);
    if (!c)
        return -EINVAL;
    fillQueryCtrl(*q, *c, p);
    return 0;
}

int queryMenu(IoctlCall &call) {
    auto *m = static_cast<v4l2_querymenu *>(call.arg);
    if (m->id != V4L2_CID_EXPOSURE_AUTO || m->index > 3 || !(kMenuMask & (1u << m->index)))
        return -EINVAL;
    const std::uint32_t id = m->id, index = m->index;
    std::memset(m, 0, sizeof *m);
    m->id = id;
    m->index = index;
    copyString(m->name, sizeof m->name, index == 1 ? "Manual Mode" : "Aperture Priority Mode");
    return 0;
}

int control(IoctlCall &call) {
    OpenFile &of = call.of;
    Session &s = call.s;
    const Profile &p = call.p;
    const unsigned request = call.request;
    auto *c = static_cast<v4l2_control *>(call.arg);
    const CtrlDesc *d = findCtrl(c->id);
    if (!d)
        return -EINVAL;
    if (d->type == V4L2_CTRL_TYPE_CTRL_CLASS)
        return -EACCES;
    int *v = ctrlValue(s, c->id);
    if (request == VIDIOC_G_CTRL) {
        c->value = *v;
        return 0;
    }
    std::int32_t value = c->value;
    const int rc = checkCtrlValue(*d, rangeOf(*d, p), value);
    if (rc)
        return rc;
    if (*v != value)
        announceValue(s, of.events.get(), *d, rangeOf(*d, p), value);
    *v = value;
    c->value = value;
    return 0;
}

int extControls(IoctlCall &call) {
    OpenFile &of = call.of;
    Session &s = call.s;
    const Profile &p = call.p;
    const unsigned request = call.request;
    auto *ec = static_cast<v4l2_ext_controls *>(call.arg);
    const std::uint32_t which = ec->which;
    const bool isClass = which != V4L2_CTRL_WHICH_CUR_VAL && which != V4L2_CTRL_WHICH_DEF_VAL &&
                         which != V4L2_CTRL_WHICH_REQUEST_VAL;
    if (which == V4L2_CTRL_WHICH_REQUEST_VAL)
        return -EINVAL;
    if (which == V4L2_CTRL_WHICH_DEF_VAL && request != VIDIOC_G_EXT_CTRLS) {
        ec->error_idx = ec->count;
        return -EINVAL;
    }
    if (isClass && which != V4L2_CTRL_CLASS_USER && which != V4L2_CTRL_CLASS_CAMERA)
        return -EINVAL;
    if (ec->count == 0)
        return 0;
    if (!ec->controls || ec->count > 1024) {
        ec->error_idx = ec->count;
        return -EINVAL;
    }
    // Validate all first, so a refused list changes nothing.
    std::vector<std::int32_t> values(ec->count);
    for (std::uint32_t i = 0; i < ec->count; ++i) {
        v4l2_ext_control &c = ec->controls[i];
        const CtrlDesc *d = findCtrl(c.id);
        const bool wrongClass = d && isClass && V4L2_CTRL_ID2WHICH(c.id) != which;
        const bool isCtrlClass = d && d->type == V4L2_CTRL_TYPE_CTRL_CLASS;
        if (!d || wrongClass || isCtrlClass) {
            // As the control framework does: only TRY names the culprit.
            ec->error_idx = request == VIDIOC_TRY_EXT_CTRLS ? i : ec->count;
            return isCtrlClass ? -EACCES : -EINVAL;
        }
        values[i] = c.value;
        if (request != VIDIOC_G_EXT_CTRLS) {
            const int rc = checkCtrlValue(*d, rangeOf(*d, p), values[i]);
            if (rc) {
                ec->error_idx = request == VIDIOC_S_EXT_CTRLS ? ec->count : i;
                return rc;
            }
        }
    }
    for (std::uint32_t i = 0; i < ec->count; ++i) {
        v4l2_ext_control &c = ec->controls[i];
        int *v = ctrlValue(s, c.id);
        if (request == VIDIOC_G_EXT_CTRLS)
            c.value = which == V4L2_CTRL_WHICH_DEF_VAL ? rangeOf(*findCtrl(c.id), p).def : *v;
        else {
            c.value = values[i];
            if (request == VIDIOC_S_EXT_CTRLS && *v != values[i]) {
                const CtrlDesc &d = *findCtrl(c.id);
                announceValue(s, of.events.get(), d, rangeOf(d, p), values[i]);
            }
            if (request == VIDIOC_S_EXT_CTRLS)
                *v = values[i];
        }
    }
    return 0;
}

} // namespace ioctls
} // namespace vcam
