#include "w_main.h"

#include "app/appcontext.h"

#include <QLabel>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace garvina {

w_main::w_main(AppContext &ctx, QWidget *parent) : QWidget(parent), m_ctx(ctx)
{
    setWindowTitle(u"服装销售管理软件(网络版服务端)"_s);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(u"服装销售管理软件(网络版服务端)"_s, this));
    resize(604, 416);
}

int w_main::StopServer() { return 1; }

} // namespace garvina
