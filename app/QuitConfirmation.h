#pragma once

#include <functional>

class QMessageBox;
class QWidget;

namespace pixavella {

// Asking before quitting, since quitting takes the drive out of the file manager. No alert
// while signed out, or once the user ticked "Ne plus demander".
namespace QuitConfirmation {

struct Answer {
    bool quit = false;     // "Quitter Pixavella" rather than "Annuler"
    bool suppress = false; // "Ne plus demander" ticked
};
using Reply = std::function<void(Answer)>;
// Shows the alert and replies once it closed.
using Prompt = std::function<void(Reply)>;

bool isNeeded(bool authenticated);
// Stores the suppression, whichever button was pressed; true when the quit goes on.
bool apply(const Answer& answer);
// `done(true)` at once when no alert is needed, otherwise after `prompt` replied.
void decide(bool authenticated, const Prompt& prompt, std::function<void(bool quit)> done);

// The alert with its texts, buttons and check box, not shown yet.
QMessageBox* createAlert(QWidget* parent = nullptr);
// The product's prompt: the alert, application-modal, brought to the front; it is open()ed
// rather than exec()ed, so no event loop runs inside another.
void showAlert(Reply reply);

} // namespace QuitConfirmation
} // namespace pixavella
