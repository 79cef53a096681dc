#pragma once
// Types a piece of text into whatever window has the keyboard, at its
// cursor: the text goes on the X CLIPBOARD (as UTF-8 text, with the
// transient marker "org.nspasteboard.TransientType" so that clipboard
// managers leave it out of their history), Control+V is sent through XTest
// once no modifier key is held, and 450 ms later the clipboard's earlier
// contents are put back, unless another program took the clipboard
// meanwhile. The process keeps serving the put-back contents for as long
// as it runs or until another program takes the clipboard.
//
// No state of its own; main thread only. `insert` returns at once and
// finishes on the main context, which keeps serving events during its
// waits; insert one text at a time. No errors are reported: without a
// display `insert` finishes at once and `isTrusted` is false.
#include <functional>
#include <string>

namespace quillet {

struct TextInserter {
  TextInserter() = delete;

  // Whether keys can be sent to other applications (the XTest extension).
  static bool isTrusted();
  // There is nothing to grant on X: the same answer as isTrusted.
  static bool requestAccess();
  // `done` is called on the main context once the text has been pasted and
  // the clipboard handled; at once for an empty text. It must not throw.
  static void insert(std::string text, std::function<void()> done = {});
};

}  // namespace quillet
