#pragma once

#include <map>
#include <string>

class NSControl;
class QWidget;

// The outlets of a loaded interface, handed to the pane to connect.
class NibConnections {
public:
    // Connects `outlet` to the widget named `name` and records it under that
    // name. False (and the outlet stays unconnected, like a nil outlet) when
    // there is no such widget or it is of a kind the outlet cannot drive.
    bool connect(NSControl& outlet, const std::string& name);

private:
    friend class NSPreferencePane;
    NibConnections(std::map<std::string, NSControl*>& outlets, QWidget* root)
        : outlets_(outlets), root_(root) {}
    std::map<std::string, NSControl*>& outlets_;  // the pane's
    QWidget* root_;
};
