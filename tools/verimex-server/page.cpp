// The web page's files and /healthz.
#include "api.h"

#include "page_assets.h"

namespace verimex_server {

void Api::page(const Request& req, Response& res)
{
    for (const Asset& asset : page_assets()) {
        if (asset.path != req.path)
            continue;
        res.set_header("Cache-Control", "no-cache");
        res.set_header("X-Content-Type-Options", "nosniff");
        // The page loads its own script and style only: nothing from
        // elsewhere, no inline script.
        res.set_header("Content-Security-Policy",
                       "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                       "img-src 'self' data: blob:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
        res.set_content(asset.body.data(), asset.body.size(), std::string(asset.type).c_str());
        return;
    }
    reply_error(res, 404, "no such path: " + req.path);
}

void Api::healthz(const Request&, Response& res)
{
    if (stopping_) {
        res.status = 503;
        res.set_content("{\"status\":\"stopping\"}\n", json_type);
        return;
    }
    // Healthy means the jobs can be served: a store that is down (a
    // PostgreSQL restarting) says so here, and ok again once it is back,
    // as the pool opens a new connection in place of one that failed.
    try {
        stores_.lease()->ping();
    } catch (const StoreBusy&) {
        return reply_store_busy(res);
    } catch (const verimex::hosting::StoreError&) {
        res.status = 503;
        res.set_header("Retry-After", "5");
        res.set_content("{\"status\":\"store_unavailable\",\"store\":\"" + std::string(stores_.kind()) + "\"}\n",
                        json_type);
        return;
    }
    res.set_content("{\"status\":\"ok\"}\n", json_type);
}

}  // namespace verimex_server
