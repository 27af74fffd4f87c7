#pragma once

// The names Windows reaches an entry by besides its own. Windows only.

#include <QString>

namespace winnames
{

// Whether the entry at path, asked for by its last segment asked, exists under another name.
// Windows reaches a file by its 8.3 short name too ("UPDATE~1.XML" is "UpdateCfg.xml") and trims
// a final dot or space, so two different release paths could name one file; only the name the
// entry really has is accepted. Letter case alone does not count: Windows ignores it.
bool reachedUnderAnotherName(const QString& path, const QString& asked);

} // namespace winnames
