#pragma once

#include <QWidget>

namespace garvina {

struct AppContext;

/// \brief The console's main window.
class w_main : public QWidget
{
    Q_OBJECT
public:
    explicit w_main(AppContext &ctx, QWidget *parent = nullptr);

    /// Stops the client connection service; 1 on success.
    int StopServer();

private:
    AppContext &m_ctx;
};

} // namespace garvina
