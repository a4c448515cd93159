#pragma once

class QWidget;
namespace Ui {
class MainWindow;
}

// Names the main window's panels, fields and tool buttons for screen readers (Chinese, as the
// author reads them) and sets the Tab order through the three panels from left to right.
void nameForScreenReaders(QWidget *window, Ui::MainWindow *ui);
