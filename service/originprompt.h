// The question on the desktop about a page that is on no list of allowed
// origins: "Allow https://… to use the document camera?" with Allow, Always
// allow (not for "null") and Deny.  Shown by the GUI thread without a modal
// loop, so the handshake that waits for it holds up nobody else; a question
// left unanswered for WebsocketControl::kQuestionTimeoutMs closes itself.
#ifndef KOBIX_ORIGINPROMPT_H
#define KOBIX_ORIGINPROMPT_H

#include "originpolicy.h"

#include <QObject>

class OriginPrompt : public QObject, public OriginAsker
{
public:
    // Lives on the thread that creates it (the GUI thread).
    explicit OriginPrompt(QObject *parent = nullptr);

    // True when there is a desktop to ask on: DISPLAY or WAYLAND_DISPLAY is
    // set and Qt does not run on a platform without a screen (offscreen,
    // minimal).
    static bool displayAvailable();

    // Any thread; the box is shown on this object's thread.
    void ask(const QString &origin, bool offerAlways,
             std::function<void(OriginPolicy::Answer)> answered) override;

private:
    void show(const QString &origin, bool offerAlways, std::function<void(OriginPolicy::Answer)> answered);
};

#endif
