// The main window arrives here.
