#!/usr/bin/php-cgi
<?php
// An example shop in PHP (Debian's php-cgi), run as a CGI program beside
// revozi.cgi in the site's cgi-bin/.
//
//   GET  shop.cgi                   the catalogue: an article, a quantity, an e-mail address
//   POST shop.cgi?step=order        records the order and answers a page whose form posts
//                                   it to revozi.cgi (it submits itself)
//   GET  shop.cgi?step=paid|refused|cancelled&...
//                                   the return pages the payment server sends the shopper to
//   GET  shop.cgi?step=notify&...   the payment server's own call (KWT_REPONDRE_A)
//   GET  shop.cgi?NUMERR=code       the module's error redirect: KWT_ERREUR, set to this
//                                   script's URL in the options file (kwtinfos.txt)
//
// The order is built here, from the shop's catalogue: the amount is never a
// field the shopper types. It still travels through the shopper's browser
// (the hidden fields of the page below, then the scrambled KWT_DATA, which
// is not signed), so every return is checked against the stored order:
// amount and order reference. A mismatch is refused and never shipped.

// --- Settings of this shop ----------------------------------------------------
// The shop's own URL, as the payment server must call it back (a fixed value,
// never taken from the request's Host header).
const SHOP_URL = 'http://127.0.0.1/cgi-bin/shop.cgi';
const MODULE_URL = '/cgi-bin/revozi.cgi';
const SITE = '1234567', RANG = '01', DEVISE = '978', IDENTIFIANT = '7';
// What the payment server sends back (the sandbox's convention, see
// docs/merchant.md): amount, order reference, authorisation number, outcome code.
const RETOUR = 'amount:M;order:R;auth:A;code:E';
// Orders are kept outside the document root, writable by the web server's user.
$orders = getenv('SHOP_ORDERS') ?: dirname(__DIR__) . '/shop-data';

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

// A request parameter as text: '' when absent or not a single value.
function param(array $source, string $name): string {
    $value = $source[$name] ?? '';
    return is_string($value) ? $value : '';
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

// --- Orders ---------------------------------------------------------------------

function order_path(string $ref): ?string {
    global $orders;
    return preg_match('/^PH[0-9]{14}-[0-9a-f]{8}$/D', $ref) ? "$orders/$ref.json" : null;
}

function load_order(string $ref): ?array {
    $path = order_path($ref);
    if ($path === null || !is_file($path)) return null;
    $order = json_decode((string) file_get_contents($path), true);
    return is_array($order) ? $order : null;
}

function save_order(array $order): void {
    $path = order_path($order['ref']);
    $tmp = $path . '.' . getmypid() . '.tmp';
    file_put_contents($tmp, json_encode($order));
    rename($tmp, $path);
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
<p><label>Adresse électronique <input type="email" name="email" maxlength="80" required></label></p>
<p><input type="submit" value="Commander"></p>
</form>');
}

function place_order(): void {
    $article = CATALOGUE[param($_POST, 'article')] ?? null;
    $quantity = param($_POST, 'quantity');
    $email = substr(param($_POST, 'email'), 0, 80);
    if ($article === null || !in_array($quantity, ['1', '2', '3', '4', '5'], true)) {
        outcome('error', 'Please choose an article and a quantity.', 400);
        return;
    }
    [$label, $price] = $article;
    $ref = 'PH' . date('YmdHis') . '-' . bin2hex(random_bytes(4));
    $order = ['ref' => $ref, 'label' => $label, 'quantity' => (int) $quantity,
              'total' => $price * (int) $quantity, 'email' => $email, 'status' => 'sent'];
    save_order($order);

    // The module's parameters, all from the order record. The mode string,
    // the payment servers and KWT_ERREUR come from the web server and the
    // options file, never from this form.
    $fields = [
        'KWT_SITE' => SITE, 'KWT_RANG' => RANG, 'KWT_IDENTIFIANT' => IDENTIFIANT,
        'KWT_DEVISE' => DEVISE, 'KWT_TOTAL' => sprintf('%03d', $order['total']), 'KWT_CMD' => $ref,
        'KWT_PORTEUR' => $email, 'KWT_RETOUR' => RETOUR, 'KWT_LANGUE' => 'FRA',
        'KWT_EFFECTUE' => SHOP_URL . '?step=paid', 'KWT_REFUSE' => SHOP_URL . '?step=refused',
        'KWT_ANNULE' => SHOP_URL . '?step=cancelled', 'KWT_REPONDRE_A' => SHOP_URL . '?step=notify',
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

// The amount and the order reference that came back must be those of a
// stored order; the outcome follows the page the server sent us to.
function check_return(array $query, string $step): array {
    $ref = param($query, 'order');
    $order = load_order($ref);
    if ($order === null) return ['mismatch', 'No such order: this payment return is refused.'];
    $amount = param($query, 'amount');
    if ($amount !== sprintf('%03d', $order['total'])) {
        $order['status'] = 'mismatch';
        save_order($order);
        return ['mismatch', "The amount paid ($amount) is not the amount of order $ref ({$order['total']}): "
            . 'the payment is refused and nothing is shipped.'];
    }
    if ($step === 'paid') {
        $auth = param($query, 'auth');
        if (param($query, 'code') !== '00000' || !preg_match('/^[0-9]{6}$/D', $auth)) {
            return ['mismatch', "The payment server's answer is incomplete: the payment is refused."];
        }
        $order['status'] = 'paid';
        $order['auth'] = $auth;
        save_order($order);
        return ['paid', 'Payment of ' . euros($order['total']) . " accepted for order $ref "
            . "(authorisation $auth). Thank you!"];
    }
    if ($order['status'] !== 'paid') {
        $order['status'] = $step;
        save_order($order);
    }
    if ($step === 'refused') {
        return ['refused', "The payment for order $ref was refused (code " . param($query, 'code') . ').'];
    }
    return ['cancelled', "The payment for order $ref was cancelled. Your order is kept."];
}

$step = param($_GET, 'step');
if ($step === '' && isset($_GET['NUMERR'])) {
    show_error((int) param($_GET, 'NUMERR'));
} elseif ($step === 'order' && ($_SERVER['REQUEST_METHOD'] ?? '') === 'POST') {
    place_order();
} elseif (in_array($step, ['paid', 'refused', 'cancelled'], true)) {
    [$kind, $message] = check_return($_GET, $step);
    outcome($kind, $message, $kind === 'mismatch' ? 409 : 200);
} elseif ($step === 'notify') {
    // The server-to-server call: same checks, a one-line answer.
    $asStep = ['00000' => 'paid', '00100' => 'refused', '00200' => 'cancelled'][param($_GET, 'code')] ?? 'refused';
    [$kind, $message] = check_return($_GET, $asStep);
    http_response_code($kind === 'mismatch' ? 409 : 200);
    header('Content-Type: text/plain; charset=utf-8');
    echo "$kind: $message\n";
} else {
    catalogue();
}
