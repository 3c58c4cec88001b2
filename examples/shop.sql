-- A small online shop: customers, a catalogue, orders, payments and
-- shipping, with the views its reports use. Loaded into a SQLite file by
-- scripts/run:   sqlite3 shop.db < examples/shop.sql
PRAGMA foreign_keys = ON;

CREATE TABLE customers (
    id          INTEGER PRIMARY KEY,
    email       VARCHAR(255) NOT NULL UNIQUE,
    full_name   VARCHAR(120) NOT NULL,
    created_at  TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP
);

CREATE TABLE addresses (
    id           INTEGER PRIMARY KEY,
    customer_id  INTEGER NOT NULL REFERENCES customers (id),
    kind         VARCHAR(10) NOT NULL CHECK (kind IN ('billing', 'shipping')),
    street       VARCHAR(200) NOT NULL,
    city         VARCHAR(100) NOT NULL,
    postal_code  VARCHAR(20),
    country      CHAR(2) NOT NULL
);

CREATE TABLE categories (
    id         INTEGER PRIMARY KEY,
    parent_id  INTEGER REFERENCES categories,
    name       VARCHAR(80) NOT NULL
);

CREATE TABLE suppliers (
    id       INTEGER PRIMARY KEY,
    name     VARCHAR(120) NOT NULL,
    country  CHAR(2) NOT NULL
);

CREATE TABLE products (
    id           INTEGER PRIMARY KEY,
    sku          VARCHAR(32) NOT NULL UNIQUE,
    name         VARCHAR(200) NOT NULL,
    category_id  INTEGER NOT NULL REFERENCES categories,
    supplier_id  INTEGER REFERENCES suppliers (id),
    price        DECIMAL(10,2) NOT NULL,
    active       BOOLEAN NOT NULL DEFAULT 1
);

CREATE TABLE warehouses (
    code  CHAR(4) PRIMARY KEY,
    city  VARCHAR(100) NOT NULL
);

CREATE TABLE stock (
    warehouse_code  CHAR(4) NOT NULL REFERENCES warehouses (code),
    product_id      INTEGER NOT NULL REFERENCES products (id),
    quantity        INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (warehouse_code, product_id)
);

CREATE TABLE orders (
    id                   INTEGER PRIMARY KEY,
    customer_id          INTEGER NOT NULL REFERENCES customers (id),
    shipping_address_id  INTEGER REFERENCES addresses (id),
    status               VARCHAR(12) NOT NULL DEFAULT 'new',
    ordered_at           TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP,
    total                DECIMAL(12,2) NOT NULL
);

CREATE TABLE order_lines (
    order_id    INTEGER NOT NULL REFERENCES orders (id),
    line_no     INTEGER NOT NULL,
    product_id  INTEGER NOT NULL REFERENCES products (id),
    quantity    INTEGER NOT NULL CHECK (quantity > 0),
    unit_price  DECIMAL(10,2) NOT NULL,
    PRIMARY KEY (order_id, line_no)
);

CREATE TABLE payments (
    id        INTEGER PRIMARY KEY,
    order_id  INTEGER NOT NULL REFERENCES orders (id),
    method    VARCHAR(20) NOT NULL,
    amount    DECIMAL(12,2) NOT NULL,
    paid_at   TIMESTAMP
);

CREATE TABLE shipments (
    id              INTEGER PRIMARY KEY,
    order_id        INTEGER NOT NULL REFERENCES orders (id),
    warehouse_code  CHAR(4) NOT NULL REFERENCES warehouses (code),
    carrier         VARCHAR(40),
    shipped_at      TIMESTAMP,
    delivered_at    TIMESTAMP
);

CREATE TABLE returns (
    order_id  INTEGER NOT NULL,
    line_no   INTEGER NOT NULL,
    reason    TEXT,
    FOREIGN KEY (order_id, line_no) REFERENCES order_lines (order_id, line_no)
);

CREATE VIEW customer_totals AS
    SELECT c.id AS customer_id, c.email, COUNT(o.id) AS orders, SUM(o.total) AS spent
    FROM customers c LEFT JOIN orders o ON o.customer_id = c.id
    GROUP BY c.id, c.email;

CREATE VIEW low_stock AS
    SELECT s.warehouse_code, p.sku, p.name, s.quantity
    FROM stock s JOIN products p ON p.id = s.product_id
    WHERE s.quantity < 5;

CREATE VIEW unpaid_orders AS
    SELECT o.id, o.customer_id, o.total
    FROM orders o
    WHERE NOT EXISTS (SELECT 1 FROM payments p WHERE p.order_id = o.id);

INSERT INTO customers (id, email, full_name) VALUES
    (1, 'ada@example.com', 'Ada Lovelace'), (2, 'alan@example.com', 'Alan Turing');
INSERT INTO categories (id, parent_id, name) VALUES (1, NULL, 'Books'), (2, 1, 'Databases');
INSERT INTO suppliers (id, name, country) VALUES (1, 'Northwind Paper', 'GB');
INSERT INTO products (id, sku, name, category_id, supplier_id, price) VALUES
    (1, 'BK-SQL-01', 'Relational Design', 2, 1, 39.90);
INSERT INTO warehouses (code, city) VALUES ('LON1', 'London');
INSERT INTO stock (warehouse_code, product_id, quantity) VALUES ('LON1', 1, 3);
INSERT INTO orders (id, customer_id, total) VALUES (1, 1, 79.80);
INSERT INTO order_lines (order_id, line_no, product_id, quantity, unit_price) VALUES (1, 1, 1, 2, 39.90);
