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
