#!/usr/bin/php-cgi
<?php
// An example shop in PHP (Debian's php-cgi), run as a CGI program beside
// revozi.cgi in the site's cgi-bin/.
//
//   GET  shop.cgi                   the catalogue: an article, a quantity, an e-mail address
//   POST shop.cgi?step=order        records the order and answers a page whose form posts
//                                   it to revozi.cgi (it submits itself)
//   GET  shop.cgi?order=REF&step=paid|refused|cancelled&...
//                                   the return pages the payment server sends the shopper to
//   GET  shop.cgi?order=REF&step=notify&...
//                                   the payment server's own call (KWT_REPONDRE_A)
//   GET  shop.cgi?NUMERR=code       the module's error redirect: KWT_ERREUR, set to this
//                                   script's URL in the options file (kwtinfos.txt)
//
// The order is built here, from the shop's catalogue: the amount is never a
// field the shopper types. It still travels through the shopper's browser
// (the hidden fields of the page below, then the scrambled KWT_DATA, which
// is not signed), and so do the return URLs and the returns themselves. So
// every return and every notification is verified first: its signature,
// by the payment server's key, over the query string exactly as received;
// an unsigned or altered one is answered 403 and changes nothing. A
// verified answer must then name this order (its own reference, twice: in
// the shop's return URL and signed by the server) and its amount; a
// different amount marks the order "mismatch", for good. Orders live in a
// database (SQLite, or PostgreSQL for several web servers): each answer is
// recorded once under its transaction number and step, and an order changes
// only from a state that allows it, in one transaction, so the shopper's
// return and the server's notification arriving together, on one web server
// or two, ship the order once.

// --- Settings of this shop ----------------------------------------------------
// The shop's own URL, as the payment server must call it back (a fixed value,
// never taken from the request's Host header).
const SHOP_URL = 'http://127.0.0.1/cgi-bin/shop.cgi';
const MODULE_URL = '/cgi-bin/revozi.cgi';
const SITE = '1234567', RANG = '01', DEVISE = '978', IDENTIFIANT = '7';
// What the payment server sends back: amount, order reference, authorisation
// number, outcome code, transaction number and, last, its signature.
const RETOUR = 'Mt:M;Ref:R;Auto:A;Erreur:E;Trans:T;Sig:S';
const SIGNATURE = 'Sig';
const OUTCOMES = ['00000' => 'paid', '00100' => 'refused', '00200' => 'cancelled'];
// The shop's private data folder, outside the document root: its SQLite
// database (orders.sqlite), the web server's user's alone.
$orders = getenv('SHOP_ORDERS') ?: dirname(__DIR__) . '/shop-data';
// PostgreSQL instead, for a shop on several web servers: a libpq connection
// string ("host=/run/postgresql dbname=shop"); empty: SQLite in $orders.
$database = getenv('SHOP_DATABASE') ?: '';
// The payment server's public key (one line of base64url), outside the
// document root: every return and notification must be signed with its pair.
$paymentKey = getenv('SHOP_PAYMENT_KEY') ?: '/etc/revozi/korven-sandbox.pub';

const MAX_QUERY = 4096;
const MAX_EMAIL = 80;  // bytes

const CATALOGUE = [
    'tea' => ['Thé vert, 100 g', 750],
    'cup' => ['Tasse en grès', 1200],
    'pot' => ['Théière en fonte', 4590],
];

const NUMERR_MESSAGES = [
    -2 => 'The payment service ran short of memory. Please try again in a moment.',
    -3 => 'The order reached the payment service without its details. Please order again.',
    -4 => "One of the shop's return addresses is too long or malformed (shop configuration).",
    -5 => 'The payment service cannot read its settings file (shop configuration).',
    -6 => "The payment service's settings file has a malformed line (shop configuration).",
    -7 => 'A required detail of the order is missing.',
    -8 => 'A numeric detail of the order holds something other than digits.',
    -9 => "The shop's site number is not 7 digits (shop configuration).",
    -10 => "The shop's rank number is not 2 digits (shop configuration).",
    -11 => 'The amount is not between 3 and 10 digits.',
    -12 => 'The currency or language code is not 3 characters (shop configuration).',
    -13 => 'The order reference is longer than 2048 characters.',
    -14 => 'A payment detail is longer than 9999 bytes.',
    -16 => 'The e-mail address is not acceptable. Please check it and order again.',
    -17 => "The payment service's merchant key does not match (shop configuration).",
    -19 => 'The bank code is not 5 digits (shop configuration).',
];

// Ends the request with an error page; nothing was changed.
final class Refusal extends Exception {
    public function __construct(public int $status, string $message) {
        parent::__construct($message);
    }
}

// A posted field: UTF-8 text without a control character, '' when absent;
// a Refusal for anything else (an array, a NUL, a malformed byte).
function field(string $name): string {
    $value = $_POST[$name] ?? '';
    if (!is_string($value) || !preg_match('//u', $value) || preg_match('/[\x00-\x1F\x7F-\x{9F}]/u', $value)) {
        throw new Refusal(400, 'The order form holds a malformed field or a control character.');
    }
    return $value;
}

function h(string $text): string {
    return htmlspecialchars($text, ENT_QUOTES | ENT_SUBSTITUTE | ENT_HTML5, 'UTF-8');
}

function euros(int $cents): string {
    return sprintf('%d,%02d €', intdiv($cents, 100), $cents % 100);
}

function page(string $title, string $body, int $status = 200): void {
    http_response_code($status);
    header('Content-Type: text/html; charset=utf-8');
    header('Cache-Control: no-store');
    echo "<!DOCTYPE html>\n<html lang=\"fr\">\n<head><meta charset=\"utf-8\"><title>", h($title),
        "</title></head>\n<body>\n<h1>Boutique exemple (PHP)</h1>\n", $body, "\n</body>\n</html>\n";
}

function outcome(string $kind, string $message, int $status = 200): void {
    page($kind, '<p id="outcome" class="' . h($kind) . '">' . h($message) . "</p>\n<p><a href=\""
        . h(SHOP_URL) . '">Back to the shop</a></p>', $status);
}

function plain(int $status, string $text): void {
    http_response_code($status);
    header('Content-Type: text/plain; charset=utf-8');
    header('X-Content-Type-Options: nosniff');
    header('Cache-Control: no-store');
    echo $text, "\n";
}

// --- Orders ---------------------------------------------------------------------
// One small storage layer, the same on SQLite (php-sqlite3) and PostgreSQL
// (php-pgsql), through PDO. Exactly once is the database's work: an answer
// is recorded under its unique key (the transaction number T and the step),
// and an order changes only from a state that allows it (UPDATE ... WHERE
// state IN OPEN_STATES, then the row count), both in one transaction. No lock
// of the shop's own: it would not hold across web servers.

// examples/schema.sql, word for word.
const SCHEMA = <<<'SQL'
-- The example shops' orders (examples/python/shop.cgi, examples/php/shop.cgi),
-- valid for SQLite and PostgreSQL. Each shop holds this same text and creates
-- the tables when they are missing.
CREATE TABLE IF NOT EXISTS orders (
    ref         VARCHAR(32) PRIMARY KEY,
    label       VARCHAR(200) NOT NULL,
    quantity    INTEGER NOT NULL,
    total       INTEGER NOT NULL,
    email       VARCHAR(80) NOT NULL,
    state       VARCHAR(10) NOT NULL DEFAULT 'pending'
                CHECK (state IN ('pending', 'paid', 'refused', 'cancelled', 'mismatch')),
    code        VARCHAR(5),
    auth        VARCHAR(6),
    trans       VARCHAR(32),
    amount_paid VARCHAR(10),
    shipped     INTEGER NOT NULL DEFAULT 0,
    created     VARCHAR(20) NOT NULL
);
-- Every verified answer applied, once: the transaction number T of the
-- payment server with the step (notify, paid, refused, cancelled).
CREATE TABLE IF NOT EXISTS answers (
    trans       VARCHAR(32) NOT NULL,
    step        VARCHAR(10) NOT NULL,
    ref         VARCHAR(32) NOT NULL REFERENCES orders (ref),
    code        VARCHAR(5) NOT NULL,
    amount      VARCHAR(10) NOT NULL,
    received    VARCHAR(20) NOT NULL,
    PRIMARY KEY (trans, step)
);
SQL;
// The states an answer may still change; paid and mismatch are final.
const OPEN_STATES = "('pending', 'refused', 'cancelled')";
const COLUMNS = 'ref, label, quantity, total, email, state, code, auth, trans, amount_paid, shipped';

// The database cannot be reached or written just now.
final class Unavailable extends Exception {}

// The shop's database, connected once per request, its tables created when
// they are missing (two shops may race to create them: the loser finds
// them made).
function store(): PDO {
    static $db = null;
    global $orders, $database;
    if ($db !== null) return $db;
    $options = [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION, PDO::ATTR_DEFAULT_FETCH_MODE => PDO::FETCH_ASSOC,
                PDO::ATTR_EMULATE_PREPARES => false];
    try {
        if ($database !== '') {
            $link = new PDO('pgsql:' . $database, null, null, $options + [PDO::ATTR_TIMEOUT => 5]);
        } else {
            if (!is_dir($orders) && !@mkdir($orders, 0700)) throw new Unavailable("cannot create $orders");
            // A writer waits for another up to 10 seconds.
            $link = new PDO("sqlite:$orders/orders.sqlite", null, null, $options + [PDO::ATTR_TIMEOUT => 10]);
        }
        for ($attempt = 0; ; $attempt++) {
            try {
                $link->query('SELECT 1 FROM answers WHERE 1 = 0');
                break;
            } catch (PDOException $error) {
                if ($attempt > 0) throw $error;
            }
            try {
                $link->exec(SCHEMA);
            } catch (PDOException) {
                // made meanwhile by another request, or the database is not writable
            }
        }
    } catch (PDOException $error) {
        throw new Unavailable($error->getMessage());
    }
    return $db = $link;
}

// Runs $change in one transaction: committed whole, or not at all.
function in_transaction(callable $change): mixed {
    global $database;
    try {
        $db = store();
        // SQLite: the write lock at once, so that two writers never deadlock.
        $db->exec($database !== '' ? 'BEGIN' : 'BEGIN IMMEDIATE');
        try {
            $result = $change($db);
            $db->exec('COMMIT');
            return $result;
        } catch (Throwable $error) {
            try {
                $db->exec('ROLLBACK');
            } catch (PDOException) {
                // the connection is gone: so is the transaction
            }
            throw $error;
        }
    } catch (PDOException $error) {
        throw new Unavailable($error->getMessage());
    }
}

// One statement, its values bound (never written into the SQL).
function run(PDO $db, string $sql, array $values = []): PDOStatement {
    $statement = $db->prepare($sql);
    $statement->execute($values);
    return $statement;
}

function find_order(PDO $db, string $ref): ?array {
    $order = run($db, 'SELECT ' . COLUMNS . ' FROM orders WHERE ref = ?', [$ref])->fetch();
    return is_array($order) ? $order : null;
}

function create_order(array $order): void {
    in_transaction(fn(PDO $db) => run($db,
        'INSERT INTO orders (ref, label, quantity, total, email, created) VALUES (?, ?, ?, ?, ?, ?)',
        [$order['ref'], $order['label'], $order['quantity'], $order['total'], $order['email'], now()]));
}

// Applies a verified answer to order $ref, once: the order afterwards, or
// null when the shop does not know it.
function apply_answer(string $ref, string $step, string $kind, array $variables): ?array {
    return in_transaction(function (PDO $db) use ($ref, $step, $kind, $variables): ?array {
        $order = find_order($db, $ref);
        if ($order === null) return null;
        $recorded = run($db, 'INSERT INTO answers (trans, step, ref, code, amount, received) VALUES (?, ?, ?, ?, ?, ?) '
            . 'ON CONFLICT (trans, step) DO NOTHING',
            [$variables['Trans'], $step, $ref, $variables['Erreur'], $variables['Mt'], now()])->rowCount() === 1;
        // A repeated answer (the same T and step) changes nothing; the order
        // as the one recorded first left it.
        if (!$recorded) return find_order($db, $ref);
        if ($variables['Mt'] !== sprintf('%03d', $order['total'])) {
            run($db, "UPDATE orders SET state = 'mismatch', amount_paid = ? WHERE ref = ? AND state IN " . OPEN_STATES,
                [$variables['Mt'], $ref]);
        } else {
            $paid = $kind === 'paid';
            $changed = run($db, 'UPDATE orders SET state = ?, code = ?, trans = ?, auth = ?, shipped = shipped + ? '
                . 'WHERE ref = ? AND state IN ' . OPEN_STATES,
                [$kind, $variables['Erreur'], $variables['Trans'], $paid ? $variables['Auto'] : null, $paid ? 1 : 0,
                 $ref])->rowCount() === 1;
            if ($changed && $paid) ship($db, $ref);
        }
        return find_order($db, $ref);
    });
}

// Here a real shop hands the order to its dispatch, in the same transaction
// (a row in its dispatch queue): this one counts, in the UPDATE that marked
// it paid.
function ship(PDO $db, string $ref): void {
}

function now(): string {
    return gmdate('Y-m-d\TH:i:s\Z');
}

// --- Steps ----------------------------------------------------------------------

function catalogue(): void {
    $options = '';
    foreach (CATALOGUE as $key => [$label, $price]) {
        $options .= '<option value="' . h($key) . '">' . h($label) . ' (' . h(euros($price)) . ')</option>';
    }
    $quantities = '';
    for ($n = 1; $n <= 5; $n++) $quantities .= "<option>$n</option>";
    page('Boutique exemple', '<form method="post" action="' . h(SHOP_URL) . '?step=order">
<p><label>Article <select name="article">' . $options . '</select></label>
<label>Quantité <select name="quantity">' . $quantities . '</select></label></p>
<p><label>Adresse électronique <input type="email" name="email" maxlength="' . MAX_EMAIL . '" required></label></p>
<p><input type="submit" value="Commander"></p>
</form>');
}

function place_order(): void {
    $article = CATALOGUE[field('article')] ?? null;
    $quantity = field('quantity');
    $email = field('email');
    if ($article === null || !in_array($quantity, ['1', '2', '3', '4', '5'], true)) {
        throw new Refusal(400, 'Please choose an article and a quantity.');
    }
    if (strlen($email) > MAX_EMAIL) {
        throw new Refusal(400, 'The e-mail address is longer than ' . MAX_EMAIL . ' bytes.');
    }
    [$label, $price] = $article;
    $ref = 'PH' . date('YmdHis') . '-' . bin2hex(random_bytes(4));
    $order = ['ref' => $ref, 'label' => $label, 'quantity' => (int) $quantity,
              'total' => $price * (int) $quantity, 'email' => $email];
    try {
        create_order($order);
    } catch (Unavailable) {
        throw new Refusal(503, 'The shop cannot record orders just now. Please try again later.');
    }

    // The module's parameters, all from the order record. The mode string,
    // the payment servers and KWT_ERREUR come from the web server and the
    // options file, never from this form.
    $returnUrl = SHOP_URL . "?order=$ref&step=";
    $fields = [
        'KWT_SITE' => SITE, 'KWT_RANG' => RANG, 'KWT_IDENTIFIANT' => IDENTIFIANT,
        'KWT_DEVISE' => DEVISE, 'KWT_TOTAL' => sprintf('%03d', $order['total']), 'KWT_CMD' => $ref,
        'KWT_PORTEUR' => $email, 'KWT_RETOUR' => RETOUR, 'KWT_LANGUE' => 'FRA',
        'KWT_EFFECTUE' => $returnUrl . 'paid', 'KWT_REFUSE' => $returnUrl . 'refused',
        'KWT_ANNULE' => $returnUrl . 'cancelled', 'KWT_REPONDRE_A' => $returnUrl . 'notify',
    ];
    $hidden = '';
    foreach ($fields as $name => $value) {
        $hidden .= '<input type="hidden" name="' . h($name) . '" value="' . h($value) . "\">\n";
    }
    page('Paiement', '<p>Commande <b id="order">' . h($ref) . '</b> : ' . $order['quantity'] . ' &times; '
        . h($label) . ', <b id="total">' . h(euros($order['total'])) . "</b>.</p>\n"
        . '<form name="payment" method="post" action="' . h(MODULE_URL) . "\">\n" . $hidden
        . '<p><input type="submit" value="Payer ' . h(euros($order['total'])) . "\"></p>\n</form>\n"
        . '<script>document.forms.payment.submit();</script>');
}

function show_error(int $code): void {
    $message = NUMERR_MESSAGES[$code] ?? "The payment service refused the order (code $code).";
    outcome('error', "$message (code $code)");
}

// --- The payment server's answers ------------------------------------------------

// The payment server's public key, 32 bytes; a Refusal (503) when the
// setting names no readable key.
function payment_key(): string {
    global $paymentKey;
    $text = @file_get_contents($paymentKey);
    if (is_string($text) && preg_match('/^[A-Za-z0-9_-]{43}\n$/D', $text)) {
        $key = sodium_base642bin(substr($text, 0, 43), SODIUM_BASE64_VARIANT_URLSAFE_NO_PADDING);
        if (strlen($key) === SODIUM_CRYPTO_SIGN_PUBLICKEYBYTES) return $key;
    }
    throw new Refusal(503, "The shop cannot verify payment answers: the payment server's key cannot be read.");
}

// The query exactly as the client sent it: REQUEST_URI after its first '?'
// (every web server passes it unchanged; some rewrite QUERY_STRING's
// escapes), QUERY_STRING where the server gives no REQUEST_URI.
function raw_query(): string {
    if (!isset($_SERVER['REQUEST_URI'])) return $_SERVER['QUERY_STRING'] ?? '';
    $uri = $_SERVER['REQUEST_URI'];
    $mark = strpos($uri, '?');
    return $mark === false ? '' : explode('#', substr($uri, $mark + 1), 2)[0];
}

// The payment server's signed variables of a return or notification (name
// => value) and the return URL's own `order` and `step`; a 403 Refusal
// saying why otherwise. The query's last variables must be those of RETOUR,
// in order, then the signature: Ed25519, by the payment server's key, of
// RETOUR's letters before S, a line feed, and those variables' bytes exactly
// as received. What comes before them is the return URL's, which anybody
// can write: nothing of it is read but `order` and `step`.
function verified_answer(string $query): array {
    $items = explode('&', $query);
    $name_of = fn(string $item): string => rawurldecode(str_replace('+', ' ', explode('=', $item, 2)[0]));
    $names = array_map($name_of, $items);
    $found = array_keys($names, SIGNATURE, true);
    if (!$found) throw new Refusal(403, 'Refused: the answer is not signed.');
    if (count($found) > 1 || $found[0] !== count($items) - 1) {
        throw new Refusal(403, 'Refused: the signature is not the last item.');
    }
    $retour = array_map(fn(string $item): array => explode(':', $item), explode(';', RETOUR));
    array_pop($retour);  // the signature's own item
    $signed = array_slice($items, -1 - count($retour), count($retour));
    if (count($items) <= count($retour)
        || array_map($name_of, $signed) !== array_column($retour, 0)) {
        throw new Refusal(403, 'Refused: the variables before the signature are not those this shop asks for.');
    }
    $signature = explode('=', end($items), 2)[1] ?? '';
    try {
        $bytes = preg_match('/^[A-Za-z0-9_-]{86}$/D', $signature)
            ? sodium_base642bin($signature, SODIUM_BASE64_VARIANT_URLSAFE_NO_PADDING) : '';
    } catch (SodiumException) {
        $bytes = '';  // not the one way 64 bytes are written
    }
    if (strlen($bytes) !== SODIUM_CRYPTO_SIGN_BYTES) {
        throw new Refusal(403, 'Refused: the signature is not base64url of 64 bytes.');
    }
    $message = implode('', array_column($retour, 1)) . "\n" . implode('&', $signed);
    if (!sodium_crypto_sign_verify_detached($bytes, $message, payment_key())) {
        throw new Refusal(403, 'Refused: the signature does not match (the answer was altered, '
            . 'or signed by another key).');
    }
    $variables = [];
    foreach ($signed as $item) {
        [$name, $value] = array_pad(explode('=', $item, 2), 2, '');
        $variables[$name_of($name)] = rawurldecode(str_replace('+', ' ', $value));
    }
    $own = [];
    foreach (array_slice($items, 0, count($items) - 1 - count($retour)) as $item) {
        $name = $name_of($item);
        if ($name !== 'order' && $name !== 'step') continue;
        if (array_key_exists($name, $own)) throw new Refusal(403, "Refused: the return URL names $name twice.");
        $own[$name] = rawurldecode(str_replace('+', ' ', explode('=', $item, 2)[1] ?? ''));
    }
    return [$variables, $own];
}

// A return (the shopper's browser) or a notification (the payment server):
// verified, then applied to its order once (apply_answer). The order
// afterwards.
function answer(string $step): array {
    [$variables, $own] = verified_answer(raw_query());
    // From here on $variables are the payment server's.
    $ref = $variables['Ref'] ?? '';
    if (($own['step'] ?? '') !== $step || ($own['order'] ?? '') !== $ref) {
        throw new Refusal(403, 'Refused: this payment answer is for another order.');
    }
    $code = $variables['Erreur'] ?? '';
    $kind = OUTCOMES[$code] ?? null;
    $amount = $variables['Mt'] ?? '';
    $auth = $variables['Auto'] ?? '';
    if ($kind === null || !preg_match('/^[0-9]{3,10}$/D', $amount)
        || ($kind === 'paid' && !preg_match('/^[0-9]{6}$/D', $auth))) {
        throw new Refusal(403, 'Refused: the payment answer is incomplete.');
    }
    // A return page shows one outcome: a refusal sent to the page of an
    // accept (or the reverse) is not this page's answer.
    if ($step !== 'notify' && $kind !== $step) {
        throw new Refusal(403, 'Refused: this payment answer is not for this return page.');
    }
    if (!preg_match('/^[0-9A-Za-z]{1,32}$/D', $variables['Trans'] ?? '')) {
        throw new Refusal(403, 'Refused: the payment answer has no transaction number.');
    }
    // Not known here: perhaps not yet (an order recorded on another web
    // server, a database restored): the payment server is asked to call again.
    $unknown = $step === 'notify' ? new Refusal(503, 'This order is not known here (yet).')
        : new Refusal(403, 'Refused: no such order.');
    if (!preg_match('/^PH[0-9]{14}-[0-9a-f]{8}$/D', $ref)) throw $unknown;
    try {
        $order = apply_answer($ref, $step, $kind, $variables);
    } catch (Unavailable) {
        throw new Refusal(503, 'The shop cannot record payment answers just now.');
    }
    if ($order === null) throw $unknown;
    return $order;
}

// The order's state after an answer: [kind, message, HTTP status].
function order_message(array $order): array {
    $ref = $order['ref'];
    return match ($order['state']) {
        'paid' => ['paid', 'Payment of ' . euros($order['total']) . " accepted for order $ref "
            . "(authorisation {$order['auth']}). Thank you!", 200],
        'mismatch' => ['mismatch', "The amount paid ({$order['amount_paid']}) is not the amount of order $ref "
            . "({$order['total']}): the payment is refused and nothing is shipped.", 409],
        'refused' => ['refused', "The payment for order $ref was refused (code {$order['code']}).", 200],
        'pending' => ['pending', "The payment for order $ref is not confirmed yet.", 200],
        default => ['cancelled', "The payment for order $ref was cancelled. Your order is kept.", 200],
    };
}

umask(0077);
$query = $_SERVER['QUERY_STRING'] ?? '';
// The shop's own parameters, for the way to the page; nothing else is read
// from a payment answer before its signature is verified.
$step = is_string($_GET['step'] ?? null) ? $_GET['step'] : null;
try {
    if (strlen($query) > MAX_QUERY) throw new Refusal(400, 'The query string is too long.');
    if ($step === 'notify') {
        // The server-to-server call: a one-line answer; 200 once the answer
        // is verified and recorded, also when it changed nothing; 503 when
        // it could not be (the payment server calls again).
        [$kind, $message] = order_message(answer('notify'));
        plain(200, "$kind: $message");
    } elseif (in_array($step, ['paid', 'refused', 'cancelled'], true)) {
        [$kind, $message, $status] = order_message(answer($step));
        outcome($kind, $message, $status);
    } elseif ($step === 'order' && ($_SERVER['REQUEST_METHOD'] ?? '') === 'POST') {
        place_order();
    } elseif ($step === null && isset($_GET['NUMERR'])) {
        $code = $_GET['NUMERR'];
        if (!is_string($code) || !preg_match('/^-?[0-9]{1,4}$/D', $code)) {
            throw new Refusal(400, 'NUMERR is not a number.');
        }
        show_error((int) $code);
    } elseif ($step === null) {
        catalogue();
    } else {
        throw new Refusal(400, 'No such page.');
    }
} catch (Refusal $refusal) {
    if ($step === 'notify' || $refusal->status === 403) {
        plain($refusal->status, $refusal->getMessage() . ' Nothing was changed.');
    } else {
        outcome('error', $refusal->getMessage(), $refusal->status);
    }
}
