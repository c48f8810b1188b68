#pragma once

#include "engine/MessageBoxService.h"

// The engine's message boxes: modal, on the UI thread, with the
// application's title as caption and an OK button. A caller on another
// thread waits until the operator has dismissed the box.
class CMessageBoxService : public kestrup::MessageBoxService {
  public:
    void Show(const std::string& text) override;
};
