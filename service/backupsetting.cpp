#include "backupsetting.h"

backupSetting::backupSetting(const QString &path)
    : m_settings(new QSettings(path, QSettings::IniFormat))
{
}

backupSetting::backupSetting(QSettings::Format format, QSettings::Scope scope, const QString &organization,
                             const QString &application, QObject *parent)
    : m_settings(new QSettings(format, scope, organization, application, parent))
{
}

backupSetting::~backupSetting()
{
    // Pending changes are written back when the QSettings object goes.  With
    // a parent given to the second constructor the parent would also delete
    // it, so detach it first.
    m_settings->setParent(nullptr);
    delete m_settings;
}

QString backupSetting::path() const
{
    return m_settings->fileName();
}

void backupSetting::setValue(const QString &group, const QString &key, const QVariant &value)
{
    m_settings->beginGroup(group);
    m_settings->setValue(key, value);
    m_settings->endGroup();
}

QVariant backupSetting::value(const QString &group, const QString &key, const QVariant &defaultValue)
{
    m_settings->beginGroup(group);
    QVariant v = m_settings->value(key, defaultValue);
    m_settings->endGroup();
    return v;
}

bool backupSetting::isContain(const QString &group, const QString &key)
{
    m_settings->beginGroup(group);
    bool found = m_settings->contains(key);
    m_settings->endGroup();
    return found;
}

void backupSetting::remove(const QString &group, const QString &key)
{
    m_settings->beginGroup(group);
    m_settings->remove(key);
    m_settings->endGroup();
}

void backupSetting::sync()
{
    m_settings->sync();
}
