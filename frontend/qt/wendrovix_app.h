// The application CWendrovixApp: runs the main dialog modally, then the program ends.
#pragma once
#include <QApplication>

class CWendrovixApp : public QApplication {
    Q_OBJECT
public:
    CWendrovixApp(int& argc, char** argv);
    // Declares the settings key, runs the main dialog modally; returns the exit status.
    int InitInstance();
};
