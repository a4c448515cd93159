<?php
// What needs no synced data: news and their read marks, the shop's links, client information.
declare(strict_types=1);

namespace Inkboat;

final class NewsApi
{
    public function __construct(private Api $api)
    {
    }

    public function lastnews(): array
    {
        $uid = $this->api->req->get('uid');
        $mark = 0;
        if ($uid !== '' && $uid !== '0') {
            $user = $this->api->session();
            $mark = (int)$this->api->db()->value('SELECT last_news_id FROM news_marks WHERE uid=?', [$user['uid']]);
        }
        $rows = $this->api->db()->all('SELECT id, post_title, post_excerpt, smeta FROM news WHERE id>? ORDER BY id DESC LIMIT 10',
            [$mark]);
        return ['news' => array_map(fn ($r) => ['post_title' => (string)$r['post_title'],
            'post_excerpt' => (string)$r['post_excerpt'], 'tid' => (string)$r['id'], 'smeta' => (string)$r['smeta']], $rows)];
    }

    /**
     * Marks as read the news up to "lastid", the newest item the client showed: items it never
     * showed (added since, or beyond the ten offered) stay unread. A mark never moves back and
     * never past the newest item there is. A client that sends no id gets every item marked, as
     * clients did before they sent one.
     */
    public function lastnewsdone(): array
    {
        $user = $this->api->session();
        $shown = $this->api->req->get('lastid') === '' ? null : $this->api->intParam('lastid', 0, 2147483647);
        $this->api->db()->write(function (Db $db) use ($user, $shown) {
            $db->lockUser($user['uid']);
            $newest = (int)$db->value('SELECT MAX(id) FROM news');
            $mark = (int)$db->value('SELECT last_news_id FROM news_marks WHERE uid=?', [$user['uid']]);
            $last = max($mark, min($shown ?? $newest, $newest));
            $db->exec('DELETE FROM news_marks WHERE uid=?', [$user['uid']]);
            $db->exec('INSERT INTO news_marks(uid, last_news_id) VALUES(?, ?)', [$user['uid'], $last]);
        });
        return [];
    }

    public function eshoplinks(): array
    {
        $rows = $this->api->db()->all('SELECT link_name, link_url FROM links ORDER BY sort, id');
        return ['links' => array_map(fn ($r) => ['link_name' => (string)$r['link_name'],
            'link_url' => (string)$r['link_url']], $rows)];
    }

    /**
     * Needs no sign-in, so what one machine (attr3) or one address may keep is capped: the newest
     * rows stay, and rows past their age go whoever sent them.
     */
    public function postclientinfo(): array
    {
        $fields = ['sid' => 64, 'app_name' => 200, 'app_ver' => 64, 'attr0' => 64, 'attr1' => 8192,
            'attr2' => 8192, 'attr3' => 256, 'os' => 64];
        $values = [];
        foreach ($fields as $key => $max) {
            $v = $this->api->req->get($key);
            if (strlen($v) > $max || !preg_match('//u', $v)) {
                throw new ApiError('BAD_PARAM', "参数{$key}不正确！");
            }
            $values[$key] = $v;
        }
        $now = time();
        $addr = substr($this->api->req->remoteAddr, 0, 64);
        $this->api->db()->write(function (Db $db) use ($values, $now, $addr) {
            $db->exec('INSERT INTO client_info(received, remote_addr, sid, app_name, app_ver, attr0, attr1, attr2, attr3, os)
                VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)', array_merge([$now, $addr], array_values($values)));
            foreach (['attr3' => [$values['attr3'], 'CLIENTINFO_PER_MACHINE'], 'remote_addr' => [$addr, 'CLIENTINFO_PER_ADDRESS']]
                     as $column => [$value, $limit]) {
                $cut = $db->value("SELECT rowid FROM client_info WHERE $column=? ORDER BY rowid DESC LIMIT 1 OFFSET ?",
                    [$value, Config::limit($limit)]);
                $cut !== null && $db->exec("DELETE FROM client_info WHERE $column=? AND rowid<=?", [$value, $cut]);
            }
            $db->housekeeping('client_info', fn (Db $d) => $d->exec('DELETE FROM client_info WHERE received<?',
                [$now - Config::limit('CLIENTINFO_DAYS') * 86400]));
        });
        return [];
    }
}
