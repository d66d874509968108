#include "display/sound_player.h"

#include <QDir>
#include <QFileInfo>
#include <QSoundEffect>
#include <QUrl>

#include "platform/debug_output.h"
#include "platform/system_info.h"

QString ResolveSoundFile(const QString& name) {
    if (name.isEmpty()) return QString();
    const QFileInfo here(QDir::current(), name);
    if (here.isFile()) return here.absoluteFilePath();
    const QFileInfo beside(QDir(QString::fromStdString(platform::ProgramDirectory())), name);
    if (beside.isFile()) return beside.absoluteFilePath();
    const QFileInfo shipped(QDir(QString::fromStdString(platform::DataDirectory())), name);
    if (shipped.isFile()) return shipped.absoluteFilePath();
    return QString();
}

SoundPlayer::SoundPlayer(QObject* parent) : QObject(parent) {}

SoundPlayer::~SoundPlayer() = default;

QString SoundPlayer::Play(const QString& name) {
    const QString path = ResolveSoundFile(name);
    if (path.isEmpty()) {
        // Heartbeats come about once a second: say it once per file.
        if (!reported_missing_.value(name)) {
            reported_missing_.insert(name, true);
            platform::DebugPrintf("*** Sound file %s not found\n", name.toLocal8Bit().constData());
        }
        return QString();
    }
    QSoundEffect*& effect = effects_[path];
    if (effect == nullptr) {
        effect = new QSoundEffect(this);
        effect->setSource(QUrl::fromLocalFile(path));
    }
    // Without an audio device the effect reports an error and stays silent.
    if (effect->status() != QSoundEffect::Error) effect->play();
    return path;
}
