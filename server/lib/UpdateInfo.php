<?php
// Update-information files (app/updateV<major>.txt, app/updateMV<major>.txt) read by the client
// as INI without a section. Values are quoted so commas stay text, and everything outside
// printable ASCII is written as \x escapes, which the reader decodes whatever codec it uses.
declare(strict_types=1);

namespace Inkboat;

final class UpdateInfo
{
    public static function escape(string $value): string
    {
        $chars = preg_split('//u', $value, -1, PREG_SPLIT_NO_EMPTY);
        if ($chars === false) {
            throw new \InvalidArgumentException('text is not UTF-8');
        }
        $out = '';
        $escapeHexDigit = false;
        foreach ($chars as $ch) {
            $cp = self::codePoint($ch);
            if ($ch === '"' || $ch === '\\') {
                $out .= '\\' . $ch;
                $escapeHexDigit = false;
            } elseif ($ch === "\n") {
                $out .= '\\n';
                $escapeHexDigit = false;
            } elseif ($cp < 0x20 || $cp >= 0x7F || ($escapeHexDigit && ctype_xdigit($ch))) {
                if ($cp > 0xFFFF) {
                    // characters outside the BMP go as their UTF-16 pair
                    $cp -= 0x10000;
                    $out .= sprintf('\\x%x\\x%x', 0xD800 + ($cp >> 10), 0xDC00 + ($cp & 0x3FF));
                } else {
                    $out .= sprintf('\\x%x', $cp);
                }
                // a hex digit right after an escape would be read as part of it
                $escapeHexDigit = true;
            } else {
                $out .= $ch;
                $escapeHexDigit = false;
            }
        }
        return '"' . $out . '"';
    }

    private static function codePoint(string $ch): int
    {
        $b = array_values(unpack('C*', $ch));
        return match (count($b)) {
            1 => $b[0],
            2 => (($b[0] & 0x1F) << 6) | ($b[1] & 0x3F),
            3 => (($b[0] & 0x0F) << 12) | (($b[1] & 0x3F) << 6) | ($b[2] & 0x3F),
            default => (($b[0] & 0x07) << 18) | (($b[1] & 0x3F) << 12) | (($b[2] & 0x3F) << 6) | ($b[3] & 0x3F),
        };
    }

    /** @param array<string,string> $values */
    public static function render(array $values): string
    {
        $out = '';
        foreach (['version', 'setupfile', 'news', 'forceVersion'] as $key) {
            $out .= $key . '=' . self::escape($values[$key] ?? '') . "\n";
        }
        return $out;
    }

    /** Copies $file into app/ and then writes the information file naming it. */
    public static function publish(string $file, bool $material, string $major, array $values): string
    {
        if (!ctype_digit($major)) {
            throw new \InvalidArgumentException("major version '$major' is not a number");
        }
        $name = basename($file);
        if (!preg_match('/^[A-Za-z0-9][A-Za-z0-9._-]{0,199}$/', $name)) {
            throw new \InvalidArgumentException("file name '$name' must be plain ASCII (letters, digits, . _ -)");
        }
        if (!is_file($file)) {
            throw new \InvalidArgumentException("no file $file");
        }
        $dir = Config::appDir();
        $tmp = "$dir/.$name.part";
        if (!copy($file, $tmp) || !rename($tmp, "$dir/$name")) {
            throw new \RuntimeException("cannot copy $file into $dir");
        }
        $info = $dir . '/' . ($material ? "updateMV$major.txt" : "updateV$major.txt");
        $values['setupfile'] = $name;
        // Written beside and renamed, so a client never reads half a file.
        file_put_contents("$info.part", self::render($values));
        rename("$info.part", $info);
        return $info;
    }
}
