#pragma once

// Loading the window's style sheet from the compiled-in resources.

#include <QString>

class QWidget;

// The sheet as Qt 6 should read it. The sheet writes one colour as rgba() with three components;
// Qt 4 took that as opaque, Qt 6 rejects the colour with a warning and paints its default
// instead. Such colours are rewritten as rgb() with the same components; nothing else changes.
QString adaptStyleSheet(const QString& sheet);

// Reads the sheet at path and sets it on window (not on the application). A sheet that cannot
// be opened leaves the window unstyled, silently; returns whether one was set.
bool applyStyleSheet(QWidget* window, const QString& path);
