// Marks: the moment the user pressed Edit > Mark.. (Ctrl+M), with an optional text. A
// live window's session records it and its plot shows a tick (the text on hover); a
// review keeps its marks beside the session (session_events.h).
#pragma once

#include <QString>
#include <cstdint>
#include <string>

class QWidget;
class CVELTMonitoringView;

// Asks for a mark's text, offering the last texts given ([marks] in the configuration
// file); false when cancelled. An empty text is a mark without one.
bool AskMarkText(QWidget* parent, QString* text, const QString& title = "Mark");

// Marks the moment of the call in a live window: asks for the text, then the session
// records the mark at that moment and the plot ticks the column drawn then. False when
// cancelled or the window has no link. *at_us (when given): the moment marked.
bool MarkLive(CVELTMonitoringView* view, std::string* text, uint64_t* at_us = nullptr);
