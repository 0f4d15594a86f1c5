#pragma once
#include <QObject>

// The object that page script sees as window.external. One per process,
// created on first use and registered on every page's web channel.
class JSObject : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    static JSObject* instance()
    {
        static JSObject* object = new JSObject;
        return object;
    }
};
