#pragma once

class QComboBox;
class QLineEdit;

// An editable box narrower than its text shows the text's start (a font's family name), not its
// end: a line edit given a text keeps its cursor, and so its view, at the end. Kept so whenever the
// box's choice changes while the author is not typing in it.
void showTextStart(QComboBox *box);

// The same for a line edit holding a long value (a folder path): its start shown, the whole value
// in its tool tip.
void showTextStart(QLineEdit *edit);
