#include "platform/VolumeService.h"

MountWatcher::MountWatcher(QObject *parent)
    : QObject(parent)
{}

MountWatcher::~MountWatcher() = default;
