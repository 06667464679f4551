// SPDX-License-Identifier: GPL-2.0-or-later
// The reader module description as the card test console shows it.
#pragma once

struct CardTestSession;
struct Reader;

// Asks for the module count (2103) and, when a module is present, for its
// description (2104), then fills the test state's module_text ("line1
// line2") and protocol_text (line 4); empty lines do not count. A shorter
// description still replaces both texts, missing lines counting as empty
// (module_text is then line 1 alone, protocol_text empty), so no text of an
// earlier description survives a reader restart. 0 also
// when no module is present (texts unchanged); the failing reader_ctl
// result; MODULE_NO_TEST_STATE when the Reader has no test state. Called on the
// Reader's worker thread; takes text_lock.
int reader_get_module_info(CardTestSession* session, Reader* reader);
