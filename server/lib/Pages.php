<?php
// The few browser pages the client opens: web sign-in by ticket, articles, forgotten password,
// the shop redirect and a home page.
declare(strict_types=1);

namespace Inkboat;

final class Pages
{
    public static function plain(int $status, string $text): void
    {
        http_response_code($status);
        header('Content-Type: text/plain; charset=utf-8');
        header('Content-Length: ' . strlen($text));
        echo $text;
    }

    private static function html(string $title, string $body, int $status = 200): Response
    {
        $t = htmlspecialchars($title, ENT_QUOTES | ENT_SUBSTITUTE, 'UTF-8');
        return new Response($status, ['Content-Type' => 'text/html; charset=utf-8', 'Cache-Control' => 'no-store'],
            "<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\"><title>$t</title></head>\n"
            . "<body><h1>$t</h1>\n$body\n</body></html>\n");
    }

    private static function e(string $s): string
    {
        return htmlspecialchars($s, ENT_QUOTES | ENT_SUBSTITUTE, 'UTF-8');
    }

    public static function handle(Request $req, Db $db): Response
    {
        [$g, $m, $a] = [$req->get('g'), $req->get('m'), $req->get('a')];
        if ($req->pairs === []) {
            return self::html('砚舟写作', '<p>砚舟写作网络服务正在运行。</p>');
        }
        if ($m === 'user' && $a === 'loginByTid') {
            return self::loginByTid($req, $db);
        }
        if ($m === 'article' && $a === 'index') {
            return self::article($req, $db);
        }
        if ($g === 'user' && $m === 'login' && $a === 'forgot_password') {
            return self::html('找回密码', '<p>本服务不发送邮件。请联系网站管理员重置密码'
                . '（管理员命令：<code>php server/admin.php reset-password 用户名 新密码</code>）。</p>');
        }
        if ($m === 'Redirect' && $a === 'redirecteshop') {
            $url = (string)$db->setting('shop_url');
            if (preg_match('#^https?://[^\s"<>]+$#i', $url)) {
                return new Response(302, ['Location' => $url, 'Content-Type' => 'text/plain; charset=utf-8'], "$url\n");
            }
            $links = $db->all('SELECT link_name, link_url FROM links ORDER BY sort, id');
            $items = '';
            foreach ($links as $l) {
                $items .= '<li><a href="' . self::e((string)$l['link_url']) . '">' . self::e((string)$l['link_name']) . '</a></li>';
            }
            return self::html('商城', $items === '' ? '<p>暂无商城链接。</p>' : "<ul>$items</ul>");
        }
        return self::html('页面不存在', '<p>没有这个页面。</p>', 404);
    }

    private static function loginByTid(Request $req, Db $db): Response
    {
        $tid = strtolower($req->get('tid'));
        $user = null;
        if (strlen($tid) === 32 && ctype_xdigit($tid)) {
            $user = $db->write(function (Db $db) use ($tid) {
                $t = $db->one("SELECT t.uid, u.username FROM web_tickets t
                    JOIN sessions s ON s.sid=t.sid AND s.state='active'
                    JOIN users u ON u.uid=t.uid
                    WHERE t.tid=? AND t.used=0 AND t.expires>=?", [$tid, time()]);
                // single use, also when two workers take the same ticket at once
                return $t !== null && $db->exec('UPDATE web_tickets SET used=1 WHERE tid=? AND used=0', [$tid]) === 1
                    ? $t : null;
            });
        }
        if ($user === null) {
            return self::html('登录失败', '<p>登录凭证无效或已过期，请在客户端中重新打开网站。</p>', 403);
        }
        return self::html('登录成功', '<p>欢迎，' . self::e((string)$user['username']) . '，您已登录网站。</p>');
    }

    private static function article(Request $req, Db $db): Response
    {
        $id = $req->get('id');
        $row = ctype_digit($id) && strlen($id) < 10
            ? $db->one('SELECT post_title, post_excerpt, post_content FROM news WHERE id=?', [(int)$id]) : null;
        if ($row === null) {
            return self::html('文章不存在', '<p>没有这篇文章。</p>', 404);
        }
        $content = (string)$row['post_content'] !== '' ? (string)$row['post_content'] : (string)$row['post_excerpt'];
        $paras = '';
        foreach (preg_split('/\R+/u', $content) ?: [] as $p) {
            if (trim($p) !== '') {
                $paras .= '<p>' . self::e($p) . '</p>';
            }
        }
        return self::html((string)$row['post_title'], $paras);
    }
}
