#pragma once
#include <QObject>

// The object that page script sees as window.external. Each page has its own
// (PageBridge makes it): what one page writes into it no other page reads.
class JSObject : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
};
