#include "QuitConfirmation.h"

#include "SharedSettings.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>

namespace pixavella::QuitConfirmation {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("QuitConfirmation", text);
}

} // namespace

bool isNeeded(bool authenticated)
{
    return authenticated && !SharedSettings::skipQuitConfirmation();
}

bool apply(const Answer& answer)
{
    if (answer.suppress)
        SharedSettings::setSkipQuitConfirmation(true);
    return answer.quit;
}

void decide(bool authenticated, const Prompt& prompt, std::function<void(bool quit)> done)
{
    if (!isNeeded(authenticated) || !prompt) {
        done(true);
        return;
    }
    prompt([done = std::move(done)](Answer answer) { done(apply(answer)); });
}

QMessageBox* createAlert(QWidget* parent)
{
    auto* box = new QMessageBox(parent);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(QStringLiteral("Pixavella"));
    box->setText(tr("Quitter Pixavella ?"));
    box->setInformativeText(
        tr("Le dossier « Pixavella » va disparaître du gestionnaire de fichiers. Les photos "
           "téléchargées pour un usage hors-ligne devront être re-téléchargées à la prochaine "
           "ouverture."));
    QPushButton* quit = box->addButton(tr("Quitter Pixavella"), QMessageBox::AcceptRole);
    box->addButton(tr("Annuler"), QMessageBox::RejectRole);
    box->setDefaultButton(quit);
    box->setCheckBox(new QCheckBox(tr("Ne plus demander"), box));
    // Without a width the informative text wraps into a narrow column.
    box->setStyleSheet(QStringLiteral("QLabel#qt_msgbox_informativelabel { min-width: 380px; }"));
    return box;
}

void showAlert(Reply reply)
{
    QMessageBox* box = createAlert();
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    QObject::connect(box, &QMessageBox::finished, box, [box, reply = std::move(reply)] {
        const bool quit = box->buttonRole(box->clickedButton()) == QMessageBox::AcceptRole;
        reply(Answer{quit, box->checkBox()->isChecked()});
    });
    box->open();
    box->raise();
    box->activateWindow();
}

} // namespace pixavella::QuitConfirmation
