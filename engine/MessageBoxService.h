#pragma once

#include <string>

namespace kestrup {

// Shows the application's modal message box: the application's title as
// caption, the text, an OK button. The shell provides the implementation;
// tests use a recording one that dismisses at once.
class MessageBoxService {
  public:
    virtual ~MessageBoxService() = default;

    // Any thread. Blocks until the operator has dismissed the box.
    virtual void Show(const std::string& text) = 0;

    // The service in use; null until the shell (or a test) installs one.
    // While none is installed, Show calls go nowhere.
    static MessageBoxService* Current();
    static void Install(MessageBoxService* service);
};

// Shows text through the installed service, if any.
void ShowMessageBox(const std::string& text);

}  // namespace kestrup
