// Apple Help stand-in: help books declared by bundles, opened in a help
// viewer window (the book's HTML pages, with back, forward and a search over
// the book's help collection).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/Foundation.h"

class QWidget;

using OSStatus = std::int32_t;
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus paramErr = -50;
inline constexpr OSStatus fnfErr = -43;
inline constexpr OSStatus kAHInternalErr = -10790;

// Registers the help book of the bundle folder `ref` names: its Info.plist's
// "CFBundleHelpBookFolder" (a folder in the bundle's resources, or in an
// .lproj folder of them) and "CFBundleHelpBookName". The book's start page is
// the folder's index.html (or the first .html file in name order). paramErr
// for no reference, fnfErr when the bundle declares no book or the folder or
// start page is missing. The book's search index is the help collection
// (.qhc, Qt's help format) in the book folder, when there is one.
OSStatus AHRegisterHelpBook(const FSRef* ref);

// Opens `bookName`'s page `path` (relative to the book folder; nothing: the
// start page) at `anchor` in the help viewer window, when a QApplication
// runs. kAHInternalErr when no book of that name is registered, fnfErr when
// the page does not exist. Every page opened is recorded.
OSStatus AHGotoPage(const std::optional<std::string>& bookName,
                    const std::optional<std::string>& path,
                    const std::optional<std::string>& anchor);

// Opens the page of `bookName` (nothing: any registered book, in name
// order) that holds the anchor `anchor` (<a name="..."> or an id), at the
// anchor, as AHGotoPage does. fnfErr when no page holds it, kAHInternalErr
// when the named book is not registered.
OSStatus AHLookupAnchor(const std::optional<std::string>& bookName, const std::string& anchor);

namespace host {
struct HelpBook {
    std::string name;        // CFBundleHelpBookName
    std::string folder;      // full path of the book folder
    std::string startPage;   // full path of the start page
    std::string collection;  // full path of the book's help collection; empty: no search
};
// Books registered in this process (one per name; registering again replaces).
std::vector<HelpBook> registeredHelpBooks();
// Full path (with "#anchor" when given) of every page AHGotoPage opened, oldest first.
std::vector<std::string> openedHelpPages();
void clearOpenedHelpPages();
// The help viewer window, or nullptr while none is open.
QWidget* helpViewerWindow();
}  // namespace host
