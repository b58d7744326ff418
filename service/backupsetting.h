// Grouped reads and writes of one INI file (QSettings, IniFormat).  Every
// grouped operation leaves the object outside any group, so groups are
// always given relative to the top of the file.  One object is created, used
// and destroyed on one thread.
#ifndef KOBIX_BACKUPSETTING_H
#define KOBIX_BACKUPSETTING_H

#include <QSettings>
#include <QString>
#include <QVariant>

class backupSetting
{
public:
    explicit backupSetting(const QString &path);
    backupSetting(QSettings::Format format, QSettings::Scope scope, const QString &organization,
                  const QString &application, QObject *parent);
    ~backupSetting();

    backupSetting(const backupSetting &) = delete;
    backupSetting &operator=(const backupSetting &) = delete;

    QString path() const;
    void setValue(const QString &group, const QString &key, const QVariant &value);
    QVariant value(const QString &group, const QString &key, const QVariant &defaultValue);
    bool isContain(const QString &group, const QString &key);
    void remove(const QString &group, const QString &key);
    void sync();

private:
    QSettings *m_settings;
};

#endif
