#pragma once

// The application object: makes sure only one copy runs, then runs the main window modally.
class CAnsweringApp {
public:
    // Always false: the program ends when it returns.
    bool InitInstance();
};
